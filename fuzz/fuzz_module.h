// What every fuzz program shares: the interpreter with the module built in,
// started once, and a way to run calls into the module and drop their outcome.
#pragma once

#include <Python.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>

#include "script/script.h"

extern "C" PyObject* PyInit__norvik_bsd(void);

namespace fuzz {

// The globals the calls run in: the module as `m`, `os`, and this
// process's id as `pid`; made on first use, with the interpreter.
inline PyObject* globals() {
    static PyObject* g = [] {
        PyImport_AppendInittab("_norvik_bsd", PyInit__norvik_bsd);
        Py_InitializeEx(0);
        PyObject* dict = PyDict_New();
        PyObject* m = PyImport_ImportModule("_norvik_bsd");
        PyObject* os = PyImport_ImportModule("os");
        PyObject* pid = PyLong_FromLong(getpid());
        if (dict == nullptr || m == nullptr || os == nullptr || pid == nullptr ||
            PyDict_SetItemString(dict, "__builtins__", PyEval_GetBuiltins()) != 0 ||
            PyDict_SetItemString(dict, "m", m) != 0 || PyDict_SetItemString(dict, "os", os) != 0 ||
            PyDict_SetItemString(dict, "pid", pid) != 0) {
            PyErr_Print();
            std::abort();
        }
        return dict;
    }();
    return g;
}

// Runs one call into the module, written as Python ("m.proc_name(pid)")
// and compiled on its first run. Any value or Python exception is a fine
// outcome; only a crash or a sanitizer report is a finding. A call that
// fails with no exception set is a bug in the module: abort so the input is
// kept.
inline void run(const char* source) {
    static std::unordered_map<const char*, PyObject*> compiled;
    PyObject* g = globals();
    PyObject*& code = compiled[source];
    if (code == nullptr) {
        code = Py_CompileString(source, "<fuzz>", Py_eval_input);
        if (code == nullptr) {
            PyErr_Print();
            std::abort();
        }
    }
    PyObject* result = PyEval_EvalCode(code, g, g);
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
