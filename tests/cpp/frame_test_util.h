// Helpers for the tests of the module frame: capturing standard error,
// switching the process-wide flags for one test, and reading the pending
// Python exception.
#pragma once

#include <Python.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "norvik.h"

namespace frame_test {

// Redirects file descriptor 2 into a temporary file while it lives.
class StderrCapture {
public:
    StderrCapture() {
        fflush(stderr);
        file_ = tmpfile();
        saved_ = dup(2);
        dup2(fileno(file_), 2);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    ~StderrCapture() {
        restore();
        fclose(file_);
    }

    // Ends the capture and returns everything written meanwhile.
    std::string text() {
        restore();
        std::string out;
        rewind(file_);
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, file_)) > 0) out.append(chunk, n);
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    FILE* file_ = nullptr;
    int saved_ = -1;
};

// Sets the two switches for one scope and puts the old values back.
class Switches {
public:
    Switches(int debug, int testing) : debug_(NORVIK_DEBUG), testing_(NORVIK_TESTING) {
        NORVIK_DEBUG = debug;
        NORVIK_TESTING = testing;
    }
    Switches(const Switches&) = delete;
    Switches& operator=(const Switches&) = delete;
    ~Switches() {
        NORVIK_DEBUG = debug_;
        NORVIK_TESTING = testing_;
    }

private:
    int debug_;
    int testing_;
};

// One debug line split into its parts.
struct DebugLine {
    std::string file;
    int line = 0;
    std::string message;
};

// Splits captured standard error into debug lines; a line of any other
// shape fails the test.
inline std::vector<DebugLine> debug_lines(const std::string& text) {
    static const std::regex shape(R"(norvik-debug \[([^\]:]+):(\d+)\]> (.*))");
    std::vector<DebugLine> lines;
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        std::smatch m;
        if (!std::regex_match(raw, m, shape)) {
            ADD_FAILURE() << "not a debug line: " << raw;
            continue;
        }
        lines.push_back({m[1].str(), std::stoi(m[2].str()), m[3].str()});
    }
    if (!text.empty() && text.back() != '\n') ADD_FAILURE() << "debug output does not end in a newline";
    return lines;
}

// The text of a line of a repository file, found by walking up from the
// working directory (the tests run inside a build folder of the checkout).
// Empty when the checkout cannot be found from here.
inline std::string repository_line(const std::string& rel, int line) {
    std::string prefix;
    for (int up = 0; up < 6; ++up, prefix += "../") {
        std::ifstream in(prefix + rel);
        if (!in) continue;
        std::string text;
        for (int i = 0; i < line && std::getline(in, text); ++i) {
        }
        return text;
    }
    return {};
}

// Checks that a debug line names a repository-relative source file and
// that the named line holds a statement writing debug output.
inline void expect_names_source(const DebugLine& d, const std::string& rel) {
    EXPECT_EQ(d.file, rel);
    EXPECT_NE(d.file.front(), '/') << "absolute path of the build machine";
    const std::string text = repository_line(rel, d.line);
    if (!text.empty()) {
        EXPECT_TRUE(text.find("norvik_debug") != std::string::npos ||
                    text.find("debug_write") != std::string::npos)
            << rel << ":" << d.line << " is `" << text << "`";
    }
}

// The pending Python exception, taken out of the interpreter.
struct Raised {
    PyObject* type = nullptr;  // borrowed from the instance
    std::string type_name;
    std::string message;        // str(args[0]) for RuntimeError, strerror for OSError
    std::string text;           // str(exception)
    long errnum = -1;           // -1: no errno attribute or None
    bool any = false;
};

inline std::string as_text(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return {};
    PyObject* s = PyObject_Str(obj);
    if (s == nullptr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    std::string out = PyUnicode_AsUTF8(s);
    Py_DECREF(s);
    return out;
}

inline PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

inline Raised fetch() {
    Raised r;
    PyObject* exc = take_exception();
    if (exc == nullptr) return r;
    r.any = true;
    r.type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    r.type_name = Py_TYPE(exc)->tp_name;
    r.text = as_text(exc);
    if (PyObject_IsInstance(exc, PyExc_OSError) == 1) {
        PyObject* e = PyObject_GetAttrString(exc, "errno");
        if (e != nullptr && e != Py_None) r.errnum = PyLong_AsLong(e);
        Py_XDECREF(e);
        PyObject* s = PyObject_GetAttrString(exc, "strerror");
        r.message = as_text(s);
        Py_XDECREF(s);
    } else {
        PyObject* args = PyObject_GetAttrString(exc, "args");
        if (args != nullptr && PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0)
            r.message = as_text(PyTuple_GET_ITEM(args, 0));
        Py_XDECREF(args);
    }
    PyErr_Clear();
    Py_DECREF(exc);
    return r;
}

}  // namespace frame_test
