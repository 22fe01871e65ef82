#include <errno.h>
#include <stdarg.h>
#include <string.h>

#include "arch/all/str.h"
#include "norvik.h"
#include "pyref.h"

namespace {

constexpr size_t kMessageSize = 512;

// Raises an OSError built as OSError(errnum, message); the interpreter picks
// the subclass for the number. A failed build still raises a bare OSError.
PyObject* raise_built_oserror(int errnum, const char* message) {
    // The new exception replaces a pending one, and the interpreter must not
    // be called with one pending: the call would fail with SystemError.
    PyErr_Clear();
    PyRef exc(PyObject_CallFunction(PyExc_OSError, "(is)", errnum, message));
    PyErr_SetObject(PyExc_OSError, exc.get());
    return nullptr;
}

}  // namespace

PyObject* norvik_oserror(void) {
    const int errnum = errno;
    PyErr_Clear();  // replaced, and not to be pending while the instance is built
    errno = errnum;
    PyErr_SetFromErrno(PyExc_OSError);
    errno = errnum;
    return nullptr;
}

PyObject* norvik_oserror_wsyscall(const char* syscall) {
    const int errnum = errno;
    char message[kMessageSize];
    str_format(message, sizeof message, "%s (originated from %s)", strerror(errnum), syscall);
    PyObject* result = raise_built_oserror(errnum, message);
    errno = errnum;
    return result;
}

namespace {

// An OSError whose number is fixed whatever errno holds; errno is left as it was.
PyObject* raise_forced_oserror(int errnum, const char* what, const char* syscall) {
    const int saved = errno;
    char message[kMessageSize];
    str_format(message, sizeof message, "force %s (originated from %s)", what, syscall);
    PyObject* result = raise_built_oserror(errnum, message);
    errno = saved;
    return result;
}

}  // namespace

PyObject* norvik_oserror_nsp(const char* syscall) {
    return raise_forced_oserror(ESRCH, "no such process", syscall);
}

PyObject* norvik_oserror_ad(const char* syscall) {
    return raise_forced_oserror(EACCES, "permission denied", syscall);
}

PyObject* norvik_runtime_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(PyExc_RuntimeError, format, args);
    va_end(args);
    return nullptr;
}

int norvik_badargs(const char* funcname) {
    PyErr_Format(PyExc_RuntimeError, "%s() invalid args passed to function", funcname);
    return -1;
}

void convert_kvm_err(const char* syscall, const char* errbuf) {
    if (errbuf == nullptr) errbuf = "";  // no text from libkvm: nothing to search
    char built[kMessageSize];
    str_format(built, sizeof built, "(originated from %s: %s)", syscall, errbuf);
    if (strstr(errbuf, "Permission denied") != nullptr ||
        strstr(errbuf, "Operation not permitted") != nullptr) {
        norvik_oserror_ad(built);
        return;
    }
    norvik_runtime_error("%s", built);
}
