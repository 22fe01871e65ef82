// FreeBSD's interface requests for ioctl(2) on a socket.
#pragma once

namespace freebsd {

// direction | (length << 16) | ('i' << 8) | number, as <sys/ioccom.h> builds them.
inline constexpr unsigned long SIOCGIFFLAGS = 0xc0206911;
inline constexpr unsigned long SIOCGIFMTU = 0xc0206933;
inline constexpr unsigned long SIOCGIFMEDIA = 0xc0306938;
inline constexpr unsigned long SIOCGIFXMEDIA = 0xc030698b;

}  // namespace freebsd
