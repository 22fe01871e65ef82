// Text fields of kernel records: fixed-size arrays that the kernel normally
// terminates but that may fill their whole size without a NUL. Decoded with
// the file-system encoding, never reading past the field.
#pragma once

#include <Python.h>
#include <string.h>

inline PyObject* norvik_decode_field(const char* field, size_t size) {
    return PyUnicode_DecodeFSDefaultAndSize(field, static_cast<Py_ssize_t>(strnlen(field, size)));
}

template <size_t N>
PyObject* norvik_decode_field(const char (&field)[N]) {
    return norvik_decode_field(field, N);
}
