// Floors of the module frame: the page size and one kernel state read.
#include <unistd.h>

#include "arch/posix/sysctl.h"
#include "floor.h"
#include "norvik_platform.h"

NORVIK_FLOOR_CASE(page_size, "sysconf_pagesize") { floor_bench::keep(sysconf(_SC_PAGESIZE)); }

// The stand-in's call alone.
NORVIK_FLOOR_CASE(sysctlbyname_argmax, "sysctlbyname_argmax") {
    int value = 0;
    size_t len = sizeof value;
    sysctlbyname("kern.argmax", &value, &len, nullptr, 0);
    floor_bench::keep(value);
}

// The same read through the module's validating wrapper.
NORVIK_FLOOR_CASE(wrapper_argmax, "norvik_sysctlbyname_argmax") {
    int value = 0;
    norvik_sysctlbyname("kern.argmax", &value, sizeof value);
    floor_bench::keep(value);
}
