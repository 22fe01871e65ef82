// FreeBSD socket address layouts (with sa_len) and family numbers.
#pragma once

#include "freebsd/sys/types.h"

namespace freebsd {

inline constexpr int AF_UNSPEC = 0;
inline constexpr int AF_UNIX = 1;
inline constexpr int AF_LOCAL = AF_UNIX;
inline constexpr int AF_INET = 2;
inline constexpr int AF_ROUTE = 17;
inline constexpr int AF_LINK = 18;
inline constexpr int AF_INET6 = 28;

inline constexpr int SOCK_STREAM = 1;
inline constexpr int SOCK_DGRAM = 2;
inline constexpr int SOCK_RAW = 3;
inline constexpr int SOCK_SEQPACKET = 5;

inline constexpr int IPPROTO_IP = 0;
inline constexpr int IPPROTO_TCP = 6;
inline constexpr int IPPROTO_UDP = 17;

struct sockaddr {
    std::uint8_t sa_len;
    sa_family_t sa_family;
    char sa_data[14];
};
static_assert(sizeof(sockaddr) == 16);

struct sockaddr_storage {
    std::uint8_t ss_len;
    sa_family_t ss_family;
    char __ss_pad1[6];
    std::int64_t __ss_align;
    char __ss_pad2[112];
};
static_assert(sizeof(sockaddr_storage) == 128);

struct in_addr {
    std::uint32_t s_addr;  // network byte order
};

struct sockaddr_in {
    std::uint8_t sin_len;
    sa_family_t sin_family;
    in_port_t sin_port;  // network byte order
    in_addr sin_addr;
    char sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16);

// FreeBSD's is a union with 32-bit members, so it is 4-byte aligned.
struct alignas(4) in6_addr {
    std::uint8_t s6_addr[16];
};
static_assert(sizeof(in6_addr) == 16);
static_assert(alignof(in6_addr) == 4);

struct sockaddr_in6 {
    std::uint8_t sin6_len;
    sa_family_t sin6_family;
    in_port_t sin6_port;  // network byte order
    std::uint32_t sin6_flowinfo;
    in6_addr sin6_addr;
    std::uint32_t sin6_scope_id;
};
static_assert(sizeof(sockaddr_in6) == 28);

struct sockaddr_un {
    std::uint8_t sun_len;
    sa_family_t sun_family;
    char sun_path[104];
};
static_assert(sizeof(sockaddr_un) == 106);

// The routing protocol family (the interface-list sysctl's second name).
inline constexpr int PF_ROUTE = AF_ROUTE;

using socklen_t = std::uint32_t;

int socket(int domain, int type, int protocol);

}  // namespace freebsd
