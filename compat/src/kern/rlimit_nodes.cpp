// kern.proc.rlimit.<pid>.<resource>: one resource limit of one process, read
// and written with prlimit(2). FreeBSD's resource numbers are translated to
// the host's; the infinite value and negative values are mapped as FreeBSD
// has them.
//
// As FreeBSD's sysctl_kern_proc_rlimit: every resource below RLIM_NLIMITS
// answers; a zombie is ESRCH; anyone who can see a process may read its
// limits (the host's prlimit wants more, so another user's limits are read
// from /proc/<pid>/limits, which every user may read); a write needs the
// right to debug the process (EPERM otherwise).
//
// Resources the host keeps no limit for (socket buffer size, pseudo-terminals,
// swap, kqueues, umtx, pipe buffers) are not limited there: they read
// RLIM_INFINITY, a write of RLIM_INFINITY (what they hold) succeeds, and a
// write of any other value fails with EOPNOTSUPP, since the host could not
// enforce it.
#include "freebsd/sys/resource.h"
#include "kern/nodes.h"
#include "linux/proc_reads.h"
#include "linux/proc_records.h"

namespace {
// FreeBSD's limit count, taken before the host's header defines the name as
// a macro of its own.
constexpr int kFreebsdLimits = freebsd::RLIM_NLIMITS;
}  // namespace

// The host headers come after: their macros would rewrite FreeBSD names.
#include <sys/resource.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace compat {
namespace {

constexpr std::uint64_t kHostInfinity = RLIM_INFINITY;  // the host's macro: all ones
constexpr int kNoHostLimit = -1;

// The host's resource for FreeBSD's, or kNoHostLimit where the host keeps no
// such limit.
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
        kNoHostLimit,    // 9 RLIMIT_SBSIZE
        RLIMIT_AS,       // 10 RLIMIT_AS (RLIMIT_VMEM)
        kNoHostLimit,    // 11 RLIMIT_NPTS
        kNoHostLimit,    // 12 RLIMIT_SWAP
        kNoHostLimit,    // 13 RLIMIT_KQUEUES
        kNoHostLimit,    // 14 RLIMIT_UMTXP
        kNoHostLimit,    // 15 RLIMIT_PIPEBUF
    };
    static_assert(sizeof kHost / sizeof kHost[0] == kFreebsdLimits);
    return kHost[resource];
}

freebsd::rlim_t to_freebsd(std::uint64_t raw) {
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

// The resource named by the node's two integers, of a live process.
// FreeBSD's process 0 (the kernel's) has no counterpart on the host, which
// would read pid 0 as the caller.
int target(NodeArgs args, int& resource) {
    if (args[1] < 0 || args[1] >= kFreebsdLimits) return EINVAL;
    resource = host_resource(args[1]);
    if (args[0] <= 0) return ESRCH;
    return check_live_process(args[0]);
}

// One value of /proc/<pid>/limits: "unlimited" or a decimal number.
bool limits_value(std::string_view& rest, std::uint64_t& value) {
    std::string_view token = next_token(rest);
    if (token == "unlimited") {
        value = kHostInfinity;
        return true;
    }
    auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    return ec == std::errc() && end == token.data() + token.size() && !token.empty();
}

// The host resource's soft and hard limit from /proc/<pid>/limits: a heading,
// then one row per resource in the host's numbering, its name in the first 26
// columns.
int read_limits_file(int pid, int resource, std::uint64_t& soft, std::uint64_t& hard) {
    Fd dir;
    if (int err = open_process_dir(pid, dir); err != 0) return err;
    FileText text;
    if (int err = text.read_at(dir.get(), "limits"); err != 0) return process_refusal(err);
    std::string_view rest = text.view();
    next_line(rest);  // the heading
    for (int row = 0; row < resource && !rest.empty(); ++row) next_line(rest);
    std::string_view line = next_line(rest);
    constexpr std::size_t kNameColumns = 26;
    if (line.size() <= kNameColumns) return EIO;
    line.remove_prefix(kNameColumns);
    if (!limits_value(line, soft) || !limits_value(line, hard)) return EIO;
    return 0;
}

}  // namespace

int read_proc_rlimit(NodeArgs args, std::string& out) {
    int resource = 0;
    if (int err = target(args, resource); err != 0) return err;
    freebsd::rlimit limit{freebsd::kRlimInfinity, freebsd::kRlimInfinity};
    if (resource != kNoHostLimit) {
        ::rlimit host{};
        std::uint64_t soft = 0, hard = 0;
        if (::prlimit(args[0], static_cast<__rlimit_resource>(resource), nullptr, &host) == 0) {
            soft = host.rlim_cur;
            hard = host.rlim_max;
        } else if (errno != EPERM) {
            return errno;
        } else if (int err = read_limits_file(args[0], resource, soft, hard); err != 0) {
            return err;
        }
        limit = {to_freebsd(soft), to_freebsd(hard)};
    }
    append_value(out, limit);
    return 0;
}

// As FreeBSD's kernel does: a negative value is infinite, and a soft limit
// above the hard one is lowered to it (the host would refuse the pair).
int write_proc_rlimit(NodeArgs args, const void* data, std::size_t len) {
    if (len != sizeof(freebsd::rlimit)) return EINVAL;
    int resource = 0;
    if (int err = target(args, resource); err != 0) return err;
    freebsd::rlimit limit;
    std::memcpy(&limit, data, sizeof limit);
    ::rlimit host{to_host(limit.rlim_cur), to_host(limit.rlim_max)};
    if (host.rlim_cur > host.rlim_max) host.rlim_cur = host.rlim_max;
    if (resource == kNoHostLimit) {
        // The host's rule for changing another process's limits decides
        // who may write, as it does for the limits the host keeps.
        ::rlimit probe{};
        if (::prlimit(args[0], RLIMIT_CPU, nullptr, &probe) != 0) return errno;
        return host.rlim_cur == kHostInfinity && host.rlim_max == kHostInfinity ? 0 : EOPNOTSUPP;
    }
    if (::prlimit(args[0], static_cast<__rlimit_resource>(resource), &host, nullptr) != 0) return errno;
    return 0;
}

}  // namespace compat
