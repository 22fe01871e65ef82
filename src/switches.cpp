#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "methods.h"
#include "norvik.h"

int NORVIK_DEBUG = 0;
int NORVIK_TESTING = 0;

int norvik_setup(void) {
    if (getenv("NORVIK_DEBUG") != nullptr) NORVIK_DEBUG = 1;
    if (getenv("NORVIK_TESTING") != nullptr) NORVIK_TESTING = 1;
    return 0;
}

void norvik_debug_write(const char* file, int line, const char* format, ...) {
    fprintf(stderr, "norvik-debug [%s:%d]> ", file, line);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
}

PyObject* norvik_set_debug(PyObject*, PyObject* args) noexcept {
    PyObject* value = nullptr;
    if (!PyArg_ParseTuple(args, "O", &value)) return nullptr;
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return nullptr;
    NORVIK_DEBUG = truth;
    Py_RETURN_NONE;
}
