// The portable process functions.
#include "arch/freebsd/proc_table.h"
#include "methods.h"
#include "norvik.h"

PyObject* norvik_proc_is_zombie(PyObject*, PyObject* args) noexcept {
    int pid = 0;
    if (!PyArg_ParseTuple(args, "i", &pid)) return nullptr;
    return PyBool_FromLong(is_zombie(pid));
}

PyObject* norvik_proc_priority_get(PyObject*, PyObject* args) noexcept {
    errno = 0;
    int pid = 0;
    if (!PyArg_ParseTuple(args, "i", &pid)) return nullptr;
    // -1 is a valid nice value: only errno tells a failure. It is cleared
    // right before the call too, so nothing argument parsing left in it can
    // pass for the call's error.
    errno = 0;
    const int priority = getpriority(PRIO_PROCESS, pid);
    if (errno != 0) return norvik_oserror();
    return PyLong_FromLong(priority);
}

PyObject* norvik_proc_priority_set(PyObject*, PyObject* args) noexcept {
    int pid = 0;
    int priority = 0;
    if (!PyArg_ParseTuple(args, "ii", &pid, &priority)) return nullptr;
    if (setpriority(PRIO_PROCESS, pid, priority) == -1) return norvik_oserror();
    Py_RETURN_NONE;
}
