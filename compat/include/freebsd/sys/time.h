// FreeBSD's clock rates: struct clockinfo, the answer of kern.clockrate
// ({CTL_KERN, KERN_CLOCKRATE}).
#pragma once

#include <cstddef>

namespace freebsd {

struct clockinfo {
    int hz;    // clock frequency
    int tick;  // microseconds per hz tick
    int spare;
    int stathz;  // statistics clock frequency: the rate of kern.cp_time(s)
    int profhz;  // profiling clock frequency
};
static_assert(sizeof(clockinfo) == 20);
static_assert(offsetof(clockinfo, tick) == 4);
static_assert(offsetof(clockinfo, stathz) == 12);
static_assert(offsetof(clockinfo, profhz) == 16);

}  // namespace freebsd
