// FreeBSD CPU sets: cpuset_getaffinity(2) and cpuset_setaffinity(2).
#pragma once

#include "freebsd/sys/types.h"

namespace freebsd {

inline constexpr int CPU_MAXSIZE = 1024;
// The host's <sched.h> may define this already, with FreeBSD's value.
#ifndef CPU_SETSIZE
inline constexpr int CPU_SETSIZE = CPU_MAXSIZE;
#endif
static_assert(CPU_SETSIZE == CPU_MAXSIZE);

inline constexpr cpulevel_t CPU_LEVEL_ROOT = 1;
inline constexpr cpulevel_t CPU_LEVEL_CPUSET = 2;
inline constexpr cpulevel_t CPU_LEVEL_WHICH = 3;
inline constexpr cpuwhich_t CPU_WHICH_TID = 1;
inline constexpr cpuwhich_t CPU_WHICH_PID = 2;

struct _cpuset {
    long __bits[CPU_SETSIZE / 64];
};
using cpuset_t = _cpuset;
static_assert(sizeof(cpuset_t) == 128);

int cpuset_getaffinity(cpulevel_t level, cpuwhich_t which, id_t id, std::size_t setsize,
                       cpuset_t* mask);
int cpuset_setaffinity(cpulevel_t level, cpuwhich_t which, id_t id, std::size_t setsize,
                       const cpuset_t* mask);

}  // namespace freebsd
