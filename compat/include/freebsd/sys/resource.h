// FreeBSD resource usage, resource limits and scheduling priority.
#pragma once

#include "freebsd/sys/types.h"

namespace freebsd {

struct rusage {
    ::timeval ru_utime;
    ::timeval ru_stime;
    long ru_maxrss;
    long ru_ixrss;
    long ru_idrss;
    long ru_isrss;
    long ru_minflt;
    long ru_majflt;
    long ru_nswap;
    long ru_inblock;
    long ru_oublock;
    long ru_msgsnd;
    long ru_msgrcv;
    long ru_nsignals;
    long ru_nvcsw;
    long ru_nivcsw;
};
static_assert(sizeof(rusage) == 144);

// The states the statistics clock counts ticks in (kern.cp_time, kern.cp_times).
inline constexpr int CP_USER = 0;
inline constexpr int CP_NICE = 1;
inline constexpr int CP_SYS = 2;
inline constexpr int CP_INTR = 3;
inline constexpr int CP_IDLE = 4;
inline constexpr int CPUSTATES = 5;

struct rlimit {
    rlim_t rlim_cur;
    rlim_t rlim_max;
};
static_assert(sizeof(rlimit) == 16);

inline constexpr int RLIMIT_CPU = 0;
inline constexpr int RLIMIT_FSIZE = 1;
inline constexpr int RLIMIT_DATA = 2;
inline constexpr int RLIMIT_STACK = 3;
inline constexpr int RLIMIT_CORE = 4;
inline constexpr int RLIMIT_RSS = 5;
inline constexpr int RLIMIT_MEMLOCK = 6;
inline constexpr int RLIMIT_NPROC = 7;
inline constexpr int RLIMIT_NOFILE = 8;
inline constexpr int RLIMIT_SBSIZE = 9;
inline constexpr int RLIMIT_AS = 10;
inline constexpr int RLIMIT_NPTS = 11;
inline constexpr int RLIMIT_SWAP = 12;
inline constexpr int RLIMIT_KQUEUES = 13;
inline constexpr int RLIMIT_UMTXP = 14;
inline constexpr int RLIMIT_PIPEBUF = 15;
inline constexpr int RLIM_NLIMITS = 16;
static_assert(RLIM_NLIMITS == 16, "FreeBSD 14.3 counts RLIMIT_PIPEBUF");
// Spelled out as well under a name no host header defines as a macro, for
// stand-in sources that also see the host's <sys/resource.h>.
inline constexpr rlim_t kRlimInfinity = 0x7fffffffffffffff;
inline constexpr rlim_t RLIM_INFINITY = kRlimInfinity;

inline constexpr int PRIO_PROCESS = 0;
inline constexpr int PRIO_PGRP = 1;
inline constexpr int PRIO_USER = 2;

int getpriority(int which, int who);
int setpriority(int which, int who, int prio);

}  // namespace freebsd
