// The host's socket tables through sock_diag netlink (NETLINK_SOCK_DIAG):
// the same sockets, in the same order, as /proc/net/{tcp,tcp6,udp,udp6,unix}
// list for the caller's network namespace, as binary records the kernel
// does not have to print nor the reader to parse.
//
// Nothing here names a FreeBSD or a host socket constant: callers on either
// side of the stand-in's headers can use it.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace compat {

// What a dump answers when the host has no such table through netlink (no
// netlink, no diag handler for the family or protocol, or netlink sockets
// not allowed to this process): the caller reads /proc/net instead.
inline constexpr int kDiagAbsent = -1;

// One inet socket as the kernel describes it (struct inet_diag_msg).
struct DiagInet {
    bool v6 = false;
    std::uint8_t state = 0;   // the host's state number
    std::uint16_t sport = 0;  // network order
    std::uint16_t dport = 0;
    std::uint8_t src[16] = {};  // an IPv4 address in the first four bytes
    std::uint8_t dst[16] = {};
    std::uint32_t rqueue = 0;
    std::uint32_t wqueue = 0;  // for a listening TCP socket, its backlog limit
    std::uint32_t uid = 0;
    std::uint32_t inode = 0;
    // An IPv6 socket's IPV6_V6ONLY (INET_DIAG_SKV6ONLY): 0 or 1, -1 where
    // the record has none (an IPv4 socket, a TIME_WAIT or request record).
    std::int8_t v6only = -1;
};

// One unix-domain socket (struct unix_diag_msg and its name).
struct DiagUnix {
    std::uint8_t type = 0;  // SOCK_STREAM 1, SOCK_DGRAM 2, SOCK_SEQPACKET 5
    std::uint32_t inode = 0;
    bool bound = false;     // has a name
    std::string_view name;  // sun_path as bound: a leading NUL for an abstract name
};

// Calls row(socket) for every socket of the protocol (6 TCP, 17 UDP) of the
// family (IPv6 or IPv4) in the states of the mask (bit n for the host's
// state n), while row answers true. Returns 0, kDiagAbsent, or the errno of
// a failed dump; rows already handed over are then part of no answer.
int diag_dump_inet(bool v6, int protocol, std::uint32_t states,
                   const std::function<bool(const DiagInet&)>& row);

// The same for the TCP sockets of both families in one walk of the host's
// tables (its older request, which takes no family): each family's
// sockets come in the order a dump of that family alone gives them.
int diag_dump_tcp(const std::function<bool(const DiagInet&)>& row);

// The same for every unix-domain socket, with its name.
int diag_dump_unix(const std::function<bool(const DiagUnix&)>& row);

}  // namespace compat
