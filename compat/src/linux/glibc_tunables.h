// The settings glibc's allocator took from GLIBC_TUNABLES when the process
// started.
#pragma once

#include <string_view>

namespace compat {

// Whether an environment block (NUL-separated "NAME=value" entries, as
// /proc/<pid>/environ holds them) turns glibc's thread cache off:
// glibc.malloc.tcache_count=0 in GLIBC_TUNABLES, the last setting winning.
bool glibc_tcache_off(std::string_view environ_block);

// The same for this process, from the environment it started with: glibc
// reads its tunables once at start, so later changes do not count.
bool host_thread_cache_off();

}  // namespace compat
