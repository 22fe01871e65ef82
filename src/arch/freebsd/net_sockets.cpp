#include "arch/freebsd/net_sockets.h"

#include "arch/all/str.h"
#include "pyref.h"

int norvik_check_filters(PyObject* families, PyObject* types) {
    if (!PySequence_Check(families) || !PySequence_Check(types)) {
        PyErr_SetString(PyExc_TypeError, "arg 2 or 3 is not a sequence");
        return -1;
    }
    return 0;
}

int norvik_filter_has(PyObject* filter, long value) {
    PyRef number(PyLong_FromLong(value));
    if (!number) return -1;
    return PySequence_Contains(filter, number.get());
}

PyObject* norvik_inet_endpoint(int family, const void* addr, uint16_t port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (inet_ntop(family, addr, text, sizeof text) == nullptr) text[0] = '\0';
    return Py_BuildValue("(si)", text, static_cast<int>(ntohs(port)));
}

PyObject* norvik_inet_remote(int family, const void* addr, uint16_t port) {
    if (port == 0) return Py_BuildValue("()");
    return norvik_inet_endpoint(family, addr, port);
}

PyObject* norvik_unix_path(const struct sockaddr_un& sun) {
    // A length byte below 2 bounds nothing: the path then runs to its first
    // NUL, but never beyond sun_path, which need not hold one.
    const int room = static_cast<int>(sizeof sun.sun_path);
    int count = static_cast<int>(sun.sun_len) - 2;
    if (count < 0 || count > room) count = room;
    char path[1024];
    str_format(path, sizeof path, "%.*s", count, sun.sun_path);
    return PyUnicode_DecodeFSDefault(path);
}
