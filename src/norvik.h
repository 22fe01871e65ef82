// Process-wide switches, the debug line and the raising functions.
#pragma once

#include <Python.h>

#define NORVIK_EXPORT extern "C" __attribute__((visibility("default")))

// Non-zero: debug lines are written to standard error.
NORVIK_EXPORT int NORVIK_DEBUG;
// Non-zero: misuse of the bounded strings ends the process.
NORVIK_EXPORT int NORVIK_TESTING;
// The exception class raised for a process that is a zombie.
NORVIK_EXPORT PyObject* ZombieProcessError;
// Connection status of a socket without a TCP state.
NORVIK_EXPORT int NORVIK_CONN_NONE;

// Sets the switches from the environment: presence alone switches them on.
int norvik_setup(void);

// Writes one debug line: "norvik-debug [file:line]> " then the message.
void norvik_debug_write(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#define norvik_debug(...)                                        \
    do {                                                          \
        if (NORVIK_DEBUG) norvik_debug_write(__FILE__, __LINE__, __VA_ARGS__); \
    } while (0)

// Raising functions: each sets a Python exception and returns what its caller
// passes straight up. None of them writes errno.
PyObject* norvik_oserror(void);
PyObject* norvik_oserror_wsyscall(const char* syscall);
PyObject* norvik_oserror_nsp(const char* syscall);
PyObject* norvik_oserror_ad(const char* syscall);
PyObject* norvik_runtime_error(const char* format, ...);
int norvik_badargs(const char* funcname);
void convert_kvm_err(const char* syscall, const char* errbuf);
