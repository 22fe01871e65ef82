// What every fuzz program shares: the interpreter with the module built in,
// started once, and a way to call one module function and drop its outcome.
#pragma once

#include <Python.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "script.h"

extern "C" PyObject* PyInit__norvik_bsd(void);

namespace fuzz {

// The module, imported into an interpreter started on first use.
inline PyObject* module() {
    static PyObject* mod = [] {
        PyImport_AppendInittab("_norvik_bsd", PyInit__norvik_bsd);
        Py_InitializeEx(0);
        PyObject* m = PyImport_ImportModule("_norvik_bsd");
        if (m == nullptr) {
            PyErr_Print();
            std::abort();
        }
        return m;
    }();
    return mod;
}

// Calls module.name(pid). Any value or Python exception is a fine outcome;
// only a crash or a sanitizer report is a finding. A call that returns
// nothing and sets nothing is a bug in the module: abort so it is kept.
inline void call(const char* name, long pid) {
    PyObject* result = PyObject_CallMethod(module(), name, "l", pid);
    if (result == nullptr && !PyErr_Occurred()) std::abort();
    Py_XDECREF(result);
    PyErr_Clear();
}

// Writes bytes into a file, replacing what it held (seeds, tree files).
inline void write_file(const std::string& path, const void* data, std::size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
}

// Forgets every script when a run ends, whatever it scripted.
struct ScriptReset {
    ScriptReset() = default;
    ScriptReset(const ScriptReset&) = delete;
    ScriptReset& operator=(const ScriptReset&) = delete;
    ~ScriptReset() { norvik_script_reset(); }
};

}  // namespace fuzz
