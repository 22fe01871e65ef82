// FreeBSD 14 amd64 basic types that differ from, or are missing on, this host.
//
// Everything the stand-in declares lives in namespace freebsd so that it can
// never collide with the host C library's own declarations of the same names.
// The module sees these names through its platform header only.
//
// Where the host's C library defines a FreeBSD name as a macro with FreeBSD's
// value (CPU_SETSIZE), the header takes the host's macro; where the host's
// value differs (PATH_MAX), the FreeBSD value has its other FreeBSD name
// (MAXPATHLEN). Stand-in sources include these headers before the host's.
#pragma once

#include <sys/time.h>  // struct timeval: the same two 64-bit fields on both systems

#include <cstddef>
#include <cstdint>

namespace freebsd {

using id_t = std::int64_t;
using lwpid_t = std::int32_t;
using segsz_t = std::int64_t;
using fixpt_t = std::uint32_t;
using rlim_t = std::int64_t;
using cpulevel_t = int;
using cpuwhich_t = int;
using sa_family_t = std::uint8_t;
using in_port_t = std::uint16_t;
using kvaddr_t = std::uint64_t;

inline constexpr std::uint64_t NODEV = ~std::uint64_t{0};

static_assert(sizeof(::timeval) == 16, "struct timeval is two 64-bit fields on amd64");

}  // namespace freebsd
