// mallctl(3), FreeBSD's allocator control.
//
// A process that runs on jemalloc (its mallctl is loaded, for instance with
// LD_PRELOAD) gets jemalloc's own answers, unchanged. Otherwise the host's
// allocator (glibc) answers the five controls a statistics reader uses, with
// jemalloc's protocol: writing "epoch" takes a snapshot of mallinfo2(), and
// "stats.allocated" (bytes in use: small blocks plus mapped chunks) and
// "stats.mapped" (bytes the allocator holds: its heap plus mapped chunks)
// read that snapshot, so allocated never exceeds mapped.
//   "thread.tcache.flush"  nothing to flush: glibc's thread cache is returned
//                          to its arena only at thread exit; EFAULT, as
//                          jemalloc answers a thread without a cache, when
//                          the process started with glibc's cache turned
//                          off (GLIBC_TUNABLES glibc.malloc.tcache_count=0)
//   "arena.4096.purge"     malloc_trim(0)
// Any other name fails with ENOENT, as jemalloc fails an unknown name. Like
// jemalloc, failures are returned, errno is left alone.
//
// Scripted overlay: "mallctl.<name>" (library-call key) fails with its errno.
#include <dlfcn.h>
#include <malloc.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "entry.h"
#include "freebsd/malloc_np.h"
#include "linux/glibc_tunables.h"
#include "script/script.h"

namespace compat {
namespace {

using MallctlFn = int (*)(const char*, void*, std::size_t*, void*, std::size_t);

MallctlFn loaded_jemalloc() {
    static const MallctlFn fn = reinterpret_cast<MallctlFn>(::dlsym(RTLD_DEFAULT, "mallctl"));
    return fn;
}

struct Snapshot {
    std::mutex lock;
    std::uint64_t epoch = 1;
    std::uint64_t allocated = 0;
    std::uint64_t mapped = 0;
};

Snapshot& snapshot() {
    static Snapshot s;
    return s;
}

// Reads a 64-bit value into oldp and/or takes a new one from newp, with
// jemalloc's size rules. Returns 0 or an errno.
int exchange_u64(std::uint64_t current, void* oldp, std::size_t* oldlenp, void* newp, std::size_t newlen,
                 bool writable) {
    if (newp != nullptr && (!writable || newlen != sizeof current)) return writable ? EINVAL : EPERM;
    if (oldp != nullptr) {
        if (oldlenp == nullptr || *oldlenp != sizeof current) return EINVAL;
        std::memcpy(oldp, &current, sizeof current);
    }
    return 0;
}

int host_mallctl(std::string_view name, void* oldp, std::size_t* oldlenp, void* newp, std::size_t newlen) {
    Snapshot& s = snapshot();
    if (name == "thread.tcache.flush") {
        if (oldp != nullptr || newp != nullptr) return EPERM;
        return host_thread_cache_off() ? EFAULT : 0;
    }
    if (name == "arena.4096.purge") {
        if (oldp != nullptr || newp != nullptr) return EPERM;
        ::malloc_trim(0);
        return 0;
    }
    std::lock_guard<std::mutex> guard(s.lock);
    if (name == "epoch") {
        if (int err = exchange_u64(s.epoch, oldp, oldlenp, newp, newlen, true); err != 0) return err;
        if (newp != nullptr) {
            const struct mallinfo2 info = ::mallinfo2();
            s.allocated = info.uordblks + info.hblkhd;
            s.mapped = info.arena + info.hblkhd;
            ++s.epoch;
        }
        return 0;
    }
    if (name == "stats.allocated") return exchange_u64(s.allocated, oldp, oldlenp, newp, newlen, false);
    if (name == "stats.mapped") return exchange_u64(s.mapped, oldp, oldlenp, newp, newlen, false);
    return ENOENT;
}

}  // namespace
}  // namespace compat

namespace freebsd {

// Returns 0 or an errno, as jemalloc's mallctl does; memory that can't be
// had for the answer is ENOMEM.
int mallctl(const char* name, void* oldp, std::size_t* oldlenp, void* newp, std::size_t newlen) {
    return compat::guarded_call(ENOMEM, [&] {
        if (name == nullptr) return EINVAL;
#ifdef NORVIK_SCRIPTED
        auto outcome = compat::script::consult(std::string("mallctl.") + name, compat::script::Kind::call);
        if (outcome.fail) return outcome.err;
#endif
        if (compat::MallctlFn real = compat::loaded_jemalloc(); real != nullptr)
            return real(name, oldp, oldlenp, newp, newlen);
        return compat::host_mallctl(name, oldp, oldlenp, newp, newlen);
    });
}

}  // namespace freebsd
