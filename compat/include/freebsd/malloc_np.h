// The allocator's control interface (jemalloc's mallctl in FreeBSD's libc).
#pragma once

#include <cstddef>

namespace freebsd {

// The arena index that names every arena at once ("arena.4096.purge").
inline constexpr unsigned MALLCTL_ARENAS_ALL = 4096;

int mallctl(const char* name, void* oldp, std::size_t* oldlenp, void* newp, std::size_t newlen);

}  // namespace freebsd
