// libutil's per-process tables. Each returns a malloc'ed array that the
// caller releases with free(), or NULL with errno set.
#pragma once

#include "freebsd/sys/user.h"

namespace freebsd {

kinfo_file* kinfo_getfile(int pid, int* cntp);
kinfo_vmentry* kinfo_getvmmap(int pid, int* cntp);

}  // namespace freebsd
