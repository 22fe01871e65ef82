// A process's descriptor table and memory map through libutil, shared by the
// functions that read them: the process is looked up first (only to confirm
// that it can be seen), errno is cleared right before the library call, and
// a failed call is classified (gone, zombie, or its own errno).
#pragma once

#include <Python.h>

#include "arch/freebsd/proc_table.h"
#include "field_text.h"
#include "norvik_platform.h"
#include "owned.h"

// Calls a libutil table function (kinfo_getfile, kinfo_getvmmap) for pid;
// `name` names it in messages ("kinfo_getfile()"). Returns 0 with the array
// (freed by its owner) and its count, or -1 with an exception set.
template <typename Record>
int norvik_libutil_table(pid_t pid, Record* (*call)(pid_t, int*), const char* name, FreedPtr<Record>& records,
                         int& count) {
    struct kinfo_proc proc;
    if (norvik_kinfo_proc(pid, &proc) == -1) return -1;
    errno = 0;
    int n = 0;
    Record* raw = call(pid, &n);
    if (raw == nullptr) {
        norvik_raise_for_pid(pid, name);
        return -1;
    }
    records.reset(raw);
    count = n;
    return 0;
}
