// FreeBSD's address text conversion and byte-order helpers, taking FreeBSD's
// family numbers (AF_INET6 is 28).
#pragma once

#include <cstddef>

#include "freebsd/sys/socket.h"
#include "freebsd/sys/types.h"

namespace freebsd {

inline constexpr int INET_ADDRSTRLEN = 16;
inline constexpr int INET6_ADDRSTRLEN = 46;

// Writes the text of an IPv4 (AF_INET) or IPv6 (AF_INET6) address into dst;
// NULL with errno EAFNOSUPPORT or ENOSPC on failure, as inet_ntop(3).
const char* inet_ntop(int af, const void* src, char* dst, unsigned int size);

// This machine is little-endian, as FreeBSD's amd64 is.
inline std::uint16_t ntohs(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }
inline std::uint16_t htons(std::uint16_t v) { return ntohs(v); }

}  // namespace freebsd
