// kern.proc.rlimit.<pid>.<resource>: one resource limit of one process, read
// and written with prlimit(2). FreeBSD's resource numbers are translated to
// the host's; the infinite value and negative values are mapped as FreeBSD
// has them.
#include "freebsd/sys/resource.h"
#include "kern/nodes.h"
// The host headers come after: their macros would rewrite FreeBSD names.
#include <sys/resource.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace compat {
namespace {

// FreeBSD's limit count; the host defines RLIM_NLIMITS as a macro of its own.
constexpr int kFreebsdLimits = 15;

constexpr std::uint64_t kHostInfinity = RLIM_INFINITY;  // the host's macro: all ones

// The host's resource for FreeBSD's, or -1 where the host keeps no such limit
// (socket buffer size, pseudo-terminals, swap, kqueues, umtx), which fails as
// FreeBSD fails for a resource it does not know.
int host_resource(int resource) {
    // Indexed by FreeBSD's number; the host's names are macros of their own,
    // so FreeBSD's appear here by value.
    static constexpr int kHost[] = {
        RLIMIT_CPU,      // 0 RLIMIT_CPU
        RLIMIT_FSIZE,    // 1 RLIMIT_FSIZE
        RLIMIT_DATA,     // 2 RLIMIT_DATA
        RLIMIT_STACK,    // 3 RLIMIT_STACK
        RLIMIT_CORE,     // 4 RLIMIT_CORE
        RLIMIT_RSS,      // 5 RLIMIT_RSS
        RLIMIT_MEMLOCK,  // 6 RLIMIT_MEMLOCK
        RLIMIT_NPROC,    // 7 RLIMIT_NPROC
        RLIMIT_NOFILE,   // 8 RLIMIT_NOFILE
        -1,              // 9 RLIMIT_SBSIZE
        RLIMIT_AS,       // 10 RLIMIT_AS (RLIMIT_VMEM)
        -1,              // 11 RLIMIT_NPTS
        -1,              // 12 RLIMIT_SWAP
        -1,              // 13 RLIMIT_KQUEUES
        -1,              // 14 RLIMIT_UMTXP
    };
    static_assert(sizeof kHost / sizeof kHost[0] == kFreebsdLimits);
    if (resource < 0 || resource >= kFreebsdLimits) return -1;
    return kHost[resource];
}

freebsd::rlim_t to_freebsd(rlim_t value) {
    const auto raw = static_cast<std::uint64_t>(value);
    // Anything the signed type cannot hold is the infinite value, as it is the
    // only such value the host hands out.
    if (raw == kHostInfinity || raw > static_cast<std::uint64_t>(freebsd::kRlimInfinity))
        return freebsd::kRlimInfinity;
    return static_cast<freebsd::rlim_t>(raw);
}

// FreeBSD stores a negative limit as infinite.
rlim_t to_host(freebsd::rlim_t value) {
    if (value < 0 || value == freebsd::kRlimInfinity) return kHostInfinity;
    return static_cast<rlim_t>(value);
}

// The process and the host's resource named by the node's two integers.
int target(NodeArgs args, pid_t& pid, int& resource) {
    resource = host_resource(args[1]);
    if (resource < 0) return EINVAL;
    // The host reads pid 0 as the caller; FreeBSD's process 0 is the kernel's.
    if (args[0] <= 0) return ESRCH;
    pid = args[0];
    return 0;
}

}  // namespace

int read_proc_rlimit(NodeArgs args, std::string& out) {
    pid_t pid = 0;
    int resource = 0;
    if (int err = target(args, pid, resource); err != 0) return err;
    ::rlimit host{};
    if (::prlimit(pid, static_cast<__rlimit_resource>(resource), nullptr, &host) != 0) return errno;
    freebsd::rlimit limit{to_freebsd(host.rlim_cur), to_freebsd(host.rlim_max)};
    append_value(out, limit);
    return 0;
}

// As FreeBSD's kernel does: a negative value is infinite, and a soft limit
// above the hard one is lowered to it (the host would refuse the pair).
int write_proc_rlimit(NodeArgs args, const void* data, std::size_t len) {
    if (len != sizeof(freebsd::rlimit)) return EINVAL;
    pid_t pid = 0;
    int resource = 0;
    if (int err = target(args, pid, resource); err != 0) return err;
    freebsd::rlimit limit;
    std::memcpy(&limit, data, sizeof limit);
    ::rlimit host{to_host(limit.rlim_cur), to_host(limit.rlim_max)};
    if (host.rlim_cur > host.rlim_max) host.rlim_cur = host.rlim_max;
    if (::prlimit(pid, static_cast<__rlimit_resource>(resource), &host, nullptr) != 0) return errno;
    return 0;
}

}  // namespace compat
