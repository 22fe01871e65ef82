// Shared shapes of the two registries: method table rows and int constants.
#pragma once

#include <Python.h>

#include <span>

// A METH_VARARGS row without a doc string.
#define NORVIK_ROW(pyname, function) \
    {pyname, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_VARARGS, nullptr}

#define NORVIK_END_OF_TABLE {nullptr, nullptr, 0, nullptr}

struct IntConstant {
    const char* name;
    long value;
};

// Registers the constants in order; the first failure returns -1.
inline int add_int_constants(PyObject* module, std::span<const IntConstant> constants) {
    for (const IntConstant& constant : constants) {
        if (PyModule_AddIntConstant(module, constant.name, constant.value) != 0) return -1;
    }
    return 0;
}
