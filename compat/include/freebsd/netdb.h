// getnameinfo(3) over FreeBSD's socket addresses.
#pragma once

#include <cstddef>

#include "freebsd/sys/socket.h"

namespace freebsd {

inline constexpr int NI_MAXHOST = 1025;
inline constexpr int NI_MAXSERV = 32;
inline constexpr int NI_NOFQDN = 0x1;
inline constexpr int NI_NUMERICHOST = 0x2;
inline constexpr int NI_NAMEREQD = 0x4;
inline constexpr int NI_NUMERICSERV = 0x8;
inline constexpr int NI_DGRAM = 0x10;
inline constexpr int NI_NUMERICSCOPE = 0x20;

inline constexpr int EAI_FAMILY = 5;
inline constexpr int EAI_MEMORY = 6;
inline constexpr int EAI_NONAME = 8;
inline constexpr int EAI_FAIL = 4;
inline constexpr int EAI_OVERFLOW = 14;

int getnameinfo(const sockaddr* sa, socklen_t salen, char* host, std::size_t hostlen, char* serv,
                std::size_t servlen, int flags);

}  // namespace freebsd
