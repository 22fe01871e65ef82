// cpuset_getaffinity(2) and cpuset_setaffinity(2) for one process
// (CPU_LEVEL_WHICH, CPU_WHICH_PID) on sched_getaffinity(2) and
// sched_setaffinity(2). Both masks are 1024 bits in 64-bit words, CPU n in
// bit n % 64 of word n / 64, so they are copied as they are.
#include "freebsd/sys/cpuset.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "entry.h"
#include "linux/cpu_lists.h"
#include "linux/host_dirs.h"
#include "linux/host_failure.h"
#include "linux/host_files.h"
#include "linux/proc_reads.h"
#include "script/script.h"

namespace freebsd {
namespace {

static_assert(sizeof(::cpu_set_t) == sizeof(cpuset_t), "the host's mask has FreeBSD's size");

int fail(int err) {
    errno = err;
    return -1;
}

// The one addressing the stand-in answers, and FreeBSD's size rule.
int check_request(cpulevel_t level, cpuwhich_t which, id_t id, std::size_t setsize, const void* mask) {
    if (level != CPU_LEVEL_WHICH || which != CPU_WHICH_PID) return EINVAL;
    if (setsize != sizeof(cpuset_t)) return ERANGE;
    if (mask == nullptr) return EFAULT;
    // -1 is the calling process; other negative ids and 0 name none (Linux
    // would read 0 as the calling thread).
    if (id != -1 && (id <= 0 || id > 0x7fffffff)) return ESRCH;
    return 0;
}

pid_t target_pid(id_t id) { return id == -1 ? ::getpid() : static_cast<pid_t>(id); }

// FreeBSD finds the process with pfind (live processes only: a zombie is
// ESRCH), then asks p_cansched, for reading the mask as for setting it: a
// caller without privilege whose real and effective uid both differ from
// the target's real uid is refused with EPERM. The host would answer both.
int check_target(id_t id) {
    if (id == -1 || static_cast<pid_t>(id) == ::getpid()) return 0;
    // A privileged caller needs only the state.
    if (::geteuid() == 0) return compat::check_live_process(static_cast<pid_t>(id));
    unsigned owner = 0;
    if (int err = compat::live_process_real_uid(static_cast<pid_t>(id), owner); err != 0) return err;
    return ::getuid() == owner || ::geteuid() == owner ? 0 : EPERM;
}

// FreeBSD's new mask must overlap its parent set (else EDEADLK) and lie
// within it (else EINVAL); a process's parent set holds the machine's CPUs.
// The host would drop CPUs it lacks and keep the rest.
int check_mask(const cpuset_t& mask) {
    static constexpr std::size_t kWords = sizeof(mask.__bits) / sizeof(mask.__bits[0]);
    std::vector<int> online;
    if (int err = compat::online_cpus(online); err != 0) return err;
    std::uint64_t machine[kWords] = {};
    for (int cpu : online) {
        const auto n = static_cast<std::size_t>(cpu);
        if (n < kWords * 64) machine[n / 64] |= std::uint64_t{1} << (n % 64);
    }
    bool overlap = false, within = true;
    for (std::size_t w = 0; w < kWords; ++w) {
        const auto bits = static_cast<std::uint64_t>(mask.__bits[w]);
        overlap = overlap || (bits & machine[w]) != 0;
        within = within && (bits & ~machine[w]) == 0;
    }
    if (!overlap) return EDEADLK;
    return within ? 0 : EINVAL;
}

// The ids of the threads of a process. Returns 0, ESRCH when it has gone,
// or the errno of a listing that failed otherwise.
int thread_ids(pid_t pid, std::vector<int>& tids) {
    char rel[40];
    std::snprintf(rel, sizeof rel, "proc/%d/task", static_cast<int>(pid));
    compat::Fd task = compat::open_host(rel, O_RDONLY | O_DIRECTORY);
    if (!task.valid()) return compat::process_refusal(errno);
    return compat::process_refusal(compat::list_numbered_entries(task.get(), tids));
}

// The threads one set has bound so far, each with the mask it had before,
// so that a set that cannot bind them all puts every one back.
class Rebinding {
public:
    explicit Rebinding(const ::cpu_set_t& mask) : mask_(mask) {}
    Rebinding(const Rebinding&) = delete;
    Rebinding& operator=(const Rebinding&) = delete;
    ~Rebinding() {
        if (!kept_) restore();
    }

    bool done(pid_t tid) const {
        for (const Bound& b : bound_)
            if (b.tid == tid) return true;
        return false;
    }
    // Binds one thread. Returns 0 or the host's errno (nothing changed then).
    int bind(pid_t tid) {
        Bound b{tid, {}};
        bound_.reserve(bound_.size() + 1);  // may throw before anything changes
        if (::sched_getaffinity(tid, sizeof b.before, &b.before) != 0) return errno;
        if (::sched_setaffinity(tid, sizeof mask_, &mask_) != 0) return errno;
        bound_.push_back(b);
        return 0;
    }
    void keep() { kept_ = true; }

private:
    struct Bound {
        pid_t tid;
        ::cpu_set_t before;
    };
    void restore() {
        const int saved = errno;
        for (auto it = bound_.rbegin(); it != bound_.rend(); ++it)
            ::sched_setaffinity(it->tid, sizeof it->before, &it->before);  // a thread gone needs none
        errno = saved;
    }

    ::cpu_set_t mask_;
    std::vector<Bound> bound_;
    bool kept_ = false;
};

// Listing passes after which threads that keep appearing make the set fail
// (restored) rather than leave some of them unbound.
constexpr int kMaxPasses = 64;

int bind_all_threads(pid_t pid, const ::cpu_set_t& mask) {
    Rebinding binding(mask);
    // The main thread decides the outcome: a refusal there changes nothing.
    if (int err = binding.bind(pid); err != 0) return err;
    std::vector<int> tids;
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        if (int err = thread_ids(pid, tids); err != 0) return err;
        bool fresh = false;
        for (int tid : tids) {
            if (binding.done(tid)) continue;
            fresh = true;
            // A thread that ends meanwhile needs no mask; any other failure
            // undoes the whole set.
            if (int err = binding.bind(tid); err != 0) {
                if (int failed = compat::skip_if_gone(err); failed != 0) return failed;
            }
        }
        if (!fresh) {
            binding.keep();
            return 0;
        }
    }
    return EAGAIN;
}

}  // namespace

// Scripted answer: the mask's bytes (128 at most; the rest reads as zero).
int cpuset_getaffinity(cpulevel_t level, cpuwhich_t which, id_t id, std::size_t setsize, cpuset_t* mask) {
    return compat::guarded_call(-1, [&] {
        auto outcome = compat::script::consult_call("cpuset_getaffinity", id);
        if (outcome.fail) return fail(outcome.err);
        if (int err = check_request(level, which, id, setsize, mask); err != 0) return fail(err);
        if (outcome.answer != nullptr) {
            std::memset(mask, 0, sizeof *mask);
            std::memcpy(mask, outcome.answer->data(), std::min(outcome.answer->size(), sizeof *mask));
            return 0;
        }
        if (int err = check_target(id); err != 0) return fail(err);
        ::cpu_set_t host;
        if (::sched_getaffinity(target_pid(id), sizeof host, &host) != 0) return -1;
        std::memcpy(mask, &host, sizeof host);
        return 0;
    });
}

// FreeBSD's set of a process binds every thread of it at once. The host binds
// one thread at a time: the first thread decides the outcome (a refusal there
// changes nothing), then the others follow; threads started meanwhile are
// caught by listing again until a pass finds no new one. A set that can't
// bind them all (the listing fails, a thread refuses) puts back the masks it
// changed and fails: it never leaves the process half bound.
// A scripted answer (any bytes) makes the call succeed without the host.
int cpuset_setaffinity(cpulevel_t level, cpuwhich_t which, id_t id, std::size_t setsize,
                       const cpuset_t* mask) {
    return compat::guarded_call(-1, [&] {
        auto outcome = compat::script::consult_call("cpuset_setaffinity", id);
        if (outcome.fail) return fail(outcome.err);
        if (int err = check_request(level, which, id, setsize, mask); err != 0) return fail(err);
        if (outcome.answer != nullptr) return 0;
        if (int err = check_target(id); err != 0) return fail(err);
        if (int err = check_mask(*mask); err != 0) return fail(err);

        ::cpu_set_t host;
        std::memcpy(&host, mask, sizeof host);
        if (int err = bind_all_threads(target_pid(id), host); err != 0) return fail(err);
        return 0;
    });
}

}  // namespace freebsd
