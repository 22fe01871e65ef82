// libkvm: the kernel memory interface, as far as the process reader needs it.
#pragma once

#include <cstddef>

#include "freebsd/sys/user.h"

namespace freebsd {

struct __kvm;
using kvm_t = __kvm;

// The host's <limits.h> may define this already, with FreeBSD's value.
#ifndef _POSIX2_LINE_MAX
inline constexpr int _POSIX2_LINE_MAX = 2048;
#endif
static_assert(_POSIX2_LINE_MAX == 2048);

// One swap device, or the total over all of them, as kvm_getswapinfo()
// reports it. Sizes are counts of pages.
struct kvm_swap {
    char ksw_devname[32];
    std::uint32_t ksw_used;
    std::uint32_t ksw_total;
    int ksw_flags;
    std::uint32_t ksw_reserved1;
    std::uint32_t ksw_reserved2;
};
static_assert(sizeof(kvm_swap) == 52);
static_assert(offsetof(kvm_swap, ksw_used) == 32);
static_assert(offsetof(kvm_swap, ksw_total) == 36);
static_assert(offsetof(kvm_swap, ksw_flags) == 40);

// kvm_getswapinfo() flags: name devices with their /dev/ prefix.
inline constexpr int SWIF_DEV_PREFIX = 0x2;

kvm_t* kvm_open(const char* execfile, const char* corefile, const char* swapfile, int flags,
                const char* errstr);
int kvm_getswapinfo(kvm_t* kd, kvm_swap* info, int maxswap, int flags);
kvm_t* kvm_openfiles(const char* execfile, const char* corefile, const char* swapfile,
                     int flags, char* errbuf);
int kvm_close(kvm_t* kd);
kinfo_proc* kvm_getprocs(kvm_t* kd, int op, int arg, int* cnt);
char** kvm_getenvv(kvm_t* kd, const kinfo_proc* p, int nchr);
char* kvm_geterr(kvm_t* kd);

}  // namespace freebsd
