// FreeBSD's kernel state interface: sysctl(3) and sysctlbyname(3).
#pragma once

#include "freebsd/sys/types.h"

namespace freebsd {

inline constexpr int CTL_MAXNAME = 24;
inline constexpr int CTL_KERN = 1;
inline constexpr int CTL_VM = 2;
inline constexpr int CTL_HW = 6;
inline constexpr int CTL_NET = 4;

inline constexpr int KERN_OSTYPE = 1;
inline constexpr int KERN_OSRELEASE = 2;
inline constexpr int KERN_ARGMAX = 8;
inline constexpr int KERN_HOSTNAME = 10;
inline constexpr int KERN_CLOCKRATE = 12;
inline constexpr int KERN_PROC = 14;
inline constexpr int KERN_BOOTTIME = 21;
inline constexpr int KERN_FILE = 15;

static_assert(KERN_CLOCKRATE == 12);

inline constexpr int HW_NCPU = 3;
inline constexpr int HW_PHYSMEM = 5;
inline constexpr int HW_PAGESIZE = 7;

// Second element of a CTL_VM name: struct vmtotal (VM_METER is the old name).
inline constexpr int VM_TOTAL = 1;
inline constexpr int VM_METER = 1;

// Third element of a KERN_PROC name.
inline constexpr int KERN_PROC_ALL = 0;
inline constexpr int KERN_PROC_PID = 1;
inline constexpr int KERN_PROC_ARGS = 7;
inline constexpr int KERN_PROC_PROC = 8;
inline constexpr int KERN_PROC_PATHNAME = 12;
inline constexpr int KERN_PROC_INC_THREAD = 0x10;
inline constexpr int KERN_PROC_VMMAP = 32;
inline constexpr int KERN_PROC_FILEDESC = 33;
inline constexpr int KERN_PROC_RLIMIT = 37;

// Last element of the inet control block list names (net.inet.tcp.pcblist,
// net.inet.udp.pcblist); the unix-domain lists have numbers the kernel picks
// at boot, from CTL_AUTO_START on, and are reached by name.
inline constexpr int TCPCTL_PCBLIST = 11;
inline constexpr int UDPCTL_PCBLIST = 5;
inline constexpr int CTL_AUTO_START = 0x100;

int sysctl(const int* name, unsigned int namelen, void* oldp, std::size_t* oldlenp,
           const void* newp, std::size_t newlen);
int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                 std::size_t newlen);

}  // namespace freebsd
