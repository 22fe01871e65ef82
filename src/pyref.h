// An owning handle for one strong reference to a Python object.
#pragma once

#include <Python.h>

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (or NULL).
    explicit PyRef(PyObject* obj) : obj_(obj) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    void reset(PyObject* obj = nullptr) {
        PyObject* old = obj_;
        obj_ = obj;
        Py_XDECREF(old);
    }

private:
    PyObject* obj_ = nullptr;
};

// Appends a new reference to a list, consuming it. Returns 0, or -1 with an
// exception set (also when item is NULL because building it failed).
inline int append_new(PyObject* list, PyObject* item) {
    PyRef owned(item);
    if (!owned) return -1;
    return PyList_Append(list, owned.get());
}
