// The portable method table, its registration and the POSIX-level constants.
#include <Python.h>
#include <unistd.h>

#include "methods.h"
#include "norvik.h"
#include "registry.h"

namespace {

PyMethodDef portable_methods[] = {
    NORVIK_ROW("getpagesize", norvik_getpagesize_pywrapper),
    NORVIK_ROW("net_if_addrs", norvik_net_if_addrs),
    NORVIK_ROW("net_if_flags", norvik_net_if_flags),
    NORVIK_ROW("net_if_is_running", norvik_net_if_is_running),
    NORVIK_ROW("net_if_mtu", norvik_net_if_mtu),
    NORVIK_ROW("proc_priority_get", norvik_proc_priority_get),
    NORVIK_ROW("proc_priority_set", norvik_proc_priority_set),
    NORVIK_ROW("net_if_duplex_speed", norvik_net_if_duplex_speed),
    NORVIK_ROW("users", norvik_users),
    NORVIK_ROW("proc_is_zombie", norvik_proc_is_zombie),
    NORVIK_END_OF_TABLE,
};

// FreeBSD's numbers, registered as fixed values whatever the build host.
constexpr IntConstant posix_constants[] = {
    {"AF_LINK", 18},
    {"RLIMIT_AS", 10},
    {"RLIMIT_CORE", 4},
    {"RLIMIT_CPU", 0},
    {"RLIMIT_DATA", 2},
    {"RLIMIT_FSIZE", 1},
    {"RLIMIT_MEMLOCK", 6},
    {"RLIMIT_NOFILE", 8},
    {"RLIMIT_NPROC", 7},
    {"RLIMIT_RSS", 5},
    {"RLIMIT_STACK", 3},
    {"RLIMIT_SWAP", 12},
    {"RLIMIT_SBSIZE", 9},
    {"RLIMIT_NPTS", 11},
};

constexpr long long kRlimInfinity = 9223372036854775807LL;

}  // namespace

int norvik_posix_add_constants(PyObject* module) {
    if (module == nullptr) return -1;
    if (add_int_constants(module, posix_constants) != 0) return -1;
    PyObject* infinity = PyLong_FromLongLong(kRlimInfinity);
    if (infinity == nullptr) return -1;
    if (PyModule_AddObject(module, "RLIM_INFINITY", infinity) != 0) {
        Py_DECREF(infinity);
        return -1;
    }
    return 0;
}

int norvik_posix_add_methods(PyObject* module) {
    for (PyMethodDef* row = portable_methods; row->ml_name != nullptr; ++row) {
        PyObject* function = PyCMethod_New(row, nullptr, module, nullptr);
        if (function == nullptr) return -1;
        if (PyModule_AddObject(module, row->ml_name, function) != 0) {
            Py_DECREF(function);
            return -1;
        }
    }
    ZombieProcessError = PyErr_NewException("_norvik_posix.ZombieProcessError", nullptr, nullptr);
    if (ZombieProcessError == nullptr) return -1;
    // The module keeps a reference of its own; the process-wide pointer keeps
    // the one PyErr_NewException gave, for the life of the process.
    Py_INCREF(ZombieProcessError);
    if (PyModule_AddObject(module, "ZombieProcessError", ZombieProcessError) != 0) {
        Py_DECREF(ZombieProcessError);
        return -1;
    }
    return 0;
}

PyObject* ZombieProcessError = nullptr;

PyObject* norvik_getpagesize_pywrapper(PyObject*, PyObject*) noexcept {
    return Py_BuildValue("l", sysconf(_SC_PAGESIZE));
}
