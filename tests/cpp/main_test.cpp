// Runs the C++ tests inside an embedded interpreter, as the module runs.
#include <Python.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    Py_InitializeEx(0);
    int result = RUN_ALL_TESTS();
    Py_FinalizeEx();
    return result;
}
