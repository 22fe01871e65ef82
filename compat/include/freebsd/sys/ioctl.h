// ioctl(2) with FreeBSD's request numbers and structures.
#pragma once

namespace freebsd {

int ioctl(int fd, unsigned long request, ...);

}  // namespace freebsd
