// The process table: one process's record, liveness and zombie tests, and the
// classification of a failed per-process library call.
#pragma once

#include <Python.h>

#include "norvik_platform.h"

// Fills the record of process pid. Returns 0, or -1 with an exception set.
int norvik_kinfo_proc(pid_t pid, struct kinfo_proc* proc);
// 1 when process pid is a zombie, else 0; never leaves an exception or errno.
int is_zombie(pid_t pid);
// 1 exists, 0 does not, -1 cannot tell (errno holds why). Raises nothing.
int norvik_pid_exists(pid_t pid);
// Raises the exception that explains why a per-process call named msg failed:
// its own errno, no such process, a zombie, or a plain failure. Returns NULL.
PyObject* norvik_raise_for_pid(pid_t pid, const char* msg);
// Every process id, in the kernel's order, in an array the caller frees.
int _norvik_pids(pid_t** pids, int* count);
