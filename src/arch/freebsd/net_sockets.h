// What the system-wide and the per-process socket listings share: the two
// filters, the address values of a connection tuple, and a socket's path.
#pragma once

#include <Python.h>

#include "norvik_platform.h"

// Both filters must be sequences (a tuple or a list; a set or a dict is
// refused). Returns 0, or -1 with TypeError set.
int norvik_check_filters(PyObject* families, PyObject* types);

// Whether the int value is in the filter: 1 or 0, or -1 with an exception
// set (the int could not be made, or the test raised).
int norvik_filter_has(PyObject* filter, long value);

// The (address text, port) 2-tuple of an IPv4 (family AF_INET, 4 bytes) or
// IPv6 (AF_INET6, 16 bytes) address and a port in network byte order.
PyObject* norvik_inet_endpoint(int family, const void* addr, uint16_t port);
// The same for a remote end, or the empty tuple when the port is 0.
PyObject* norvik_inet_remote(int family, const void* addr, uint16_t port);

// A unix-domain socket's path: at most sun_len - 2 bytes of sun_path up to
// the first NUL, never past the end of sun_path; "" for an unbound socket.
PyObject* norvik_unix_path(const struct sockaddr_un& sun);
