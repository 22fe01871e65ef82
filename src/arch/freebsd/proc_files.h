// A process's descriptor table and memory map through libutil, shared by the
// functions that read them: the process is looked up first (only to confirm
// that it can be seen), errno is cleared right before the library call, and
// a failed call is classified (gone, zombie, or its own errno).
#pragma once

#include <Python.h>

#include "norvik_platform.h"
#include "owned.h"

// Each returns 0 with the array (freed by its owner) and its count, or -1
// with an exception set.
int norvik_proc_file_table(pid_t pid, FreedPtr<struct kinfo_file>& files, int& count);
int norvik_proc_vmmap_table(pid_t pid, FreedPtr<struct kinfo_vmentry>& maps, int& count);

// Decodes a text field of a kernel record with the file-system encoding,
// never reading past the field even when the record lacks the NUL.
inline PyObject* norvik_decode_field(const char* field, size_t size) {
    return PyUnicode_DecodeFSDefaultAndSize(field, static_cast<Py_ssize_t>(strnlen(field, size)));
}
