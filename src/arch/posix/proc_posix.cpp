// The portable process functions.
#include "arch/freebsd/proc_table.h"
#include "methods.h"
#include "norvik.h"

PyObject* norvik_proc_is_zombie(PyObject*, PyObject* args) noexcept {
    int pid = 0;
    if (!PyArg_ParseTuple(args, "i", &pid)) return nullptr;
    return PyBool_FromLong(is_zombie(pid));
}
