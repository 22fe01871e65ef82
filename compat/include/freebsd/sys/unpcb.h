// FreeBSD's exported unix-domain protocol control blocks: the records of
// net.local.{stream,dgram,seqpacket}.pcblist.
//
// A list is one xunpgen, the records, then a closing xunpgen; every record
// starts with its own length, which is what a reader steps by.
#pragma once

#include <cstddef>

#include "freebsd/netinet/in_pcb.h"  // struct xsocket
#include "freebsd/sys/socket.h"
#include "freebsd/sys/types.h"

namespace freebsd {

// Head and tail of a unix-domain pcb list.
struct xunpgen {
    std::uint64_t xug_len;  // sizeof(struct xunpgen)
    std::uint32_t xug_count;
    std::uint64_t xug_gen;
    std::uint64_t xug_sogen;
};
static_assert(sizeof(xunpgen) == 32);
static_assert(offsetof(xunpgen, xug_count) == 8);
static_assert(offsetof(xunpgen, xug_gen) == 16);
static_assert(offsetof(xunpgen, xug_sogen) == 24);

// One unix-domain socket. Each address sits in a 256-byte slot of which
// only the first sizeof(sockaddr_un) bytes are the address; its path need
// not end in a NUL within sun_path, so a reader bounds it by sun_len.
struct xunpcb {
    std::uint64_t xu_len;  // sizeof(struct xunpcb)
    kvaddr_t xu_unpp;      // this block's kernel address
    kvaddr_t unp_vnode;
    kvaddr_t unp_conn;  // the peer's block
    kvaddr_t xu_firstref;
    kvaddr_t xu_nextref;
    std::uint64_t unp_gencnt;
    std::int64_t xu_spare64[8];
    std::int32_t xu_spare32[8];
    union {
        sockaddr_un xu_addr;  // the address this socket is bound to
        char xu_dummy1[256];
    };
    union {
        sockaddr_un xu_caddr;  // the address the peer is bound to
        char xu_dummy2[256];
    };
    xsocket xu_socket;
};
static_assert(sizeof(xunpcb) == 904);
static_assert(offsetof(xunpcb, xu_unpp) == 8);
static_assert(offsetof(xunpcb, unp_conn) == 24);
static_assert(offsetof(xunpcb, unp_gencnt) == 48);
static_assert(offsetof(xunpcb, xu_spare32) == 120);
static_assert(offsetof(xunpcb, xu_addr) == 152);
static_assert(offsetof(xunpcb, xu_dummy1) == 152);
static_assert(offsetof(xunpcb, xu_addr.sun_path) == 154);
static_assert(offsetof(xunpcb, xu_caddr) == 408);
static_assert(offsetof(xunpcb, xu_dummy2) == 408);
static_assert(offsetof(xunpcb, xu_caddr.sun_path) == 410);
static_assert(offsetof(xunpcb, xu_socket) == 664);
static_assert(offsetof(xunpcb, xu_socket.xso_so) == 672);
static_assert(offsetof(xunpcb, xu_socket.so_pcb) == 680);
static_assert(offsetof(xunpcb, xu_socket.xso_family) == 764);
static_assert(offsetof(xunpcb, xu_socket.so_type) == 820);

}  // namespace freebsd
