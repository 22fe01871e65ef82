// libkvm: the kernel memory interface, as far as the process reader needs it.
#pragma once

#include "freebsd/sys/user.h"

namespace freebsd {

struct __kvm;
using kvm_t = __kvm;

// The host's <limits.h> may define this already, with FreeBSD's value.
#ifndef _POSIX2_LINE_MAX
inline constexpr int _POSIX2_LINE_MAX = 2048;
#endif
static_assert(_POSIX2_LINE_MAX == 2048);

kvm_t* kvm_openfiles(const char* execfile, const char* corefile, const char* swapfile,
                     int flags, char* errbuf);
int kvm_close(kvm_t* kd);
kinfo_proc* kvm_getprocs(kvm_t* kd, int op, int arg, int* cnt);
char** kvm_getenvv(kvm_t* kd, const kinfo_proc* p, int nchr);
char* kvm_geterr(kvm_t* kd);

}  // namespace freebsd
