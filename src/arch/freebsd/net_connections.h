// The system-wide socket table: the open-file table, the owner of a socket,
// and the walks over the control block lists.
#pragma once

#include <Python.h>

#include "arch/freebsd/first_index.h"
#include "norvik_platform.h"

// The open-file record that owns each socket: the first in table order whose
// xf_data is the socket's address.
class SocketOwners {
public:
    // May throw std::bad_alloc.
    SocketOwners(const struct xfile* xfiles, int count);
    // The owning record, or NULL when no descriptor refers to the socket.
    const struct xfile* find(kvaddr_t so) const;

private:
    const struct xfile* xfiles_;
    FirstIndex<kvaddr_t> index_;
};

// Reads "kern.file" into *xfiles (a malloc'ed buffer of 128 bytes on entry,
// grown by doubling; the caller frees whatever it holds on return) and
// stores the number of records. Returns 0, or -1 with an exception set.
int norvik_fetch_xfiles(struct xfile** xfiles, int* count);

// Appends the tuples of the TCP (IPPROTO_TCP) or UDP (IPPROTO_UDP) list,
// IPv4 and IPv6 records as the flags ask. Returns 0, or -1 with an exception.
int norvik_gather_inet(int proto, int include_v4, int include_v6, PyObject* list, const SocketOwners& owners);

// Appends the tuples of the local stream (SOCK_STREAM) or datagram (any
// other type) list. Returns 0, or -1 with an exception set.
int norvik_gather_unix(int proto, PyObject* list, const SocketOwners& owners);
