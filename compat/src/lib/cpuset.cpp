// cpuset_getaffinity(2) and cpuset_setaffinity(2) for one process
// (CPU_LEVEL_WHICH, CPU_WHICH_PID) on sched_getaffinity(2) and
// sched_setaffinity(2). Both masks are 1024 bits in 64-bit words, CPU n in
// bit n % 64 of word n / 64, so they are copied as they are.
//
// As FreeBSD's kern_cpuset_getaffinity and kern_cpuset_setaffinity: the
// mask of a process is that of all its threads (the union when read, every
// thread's when set); the caller's buffer may have any size that holds the
// mask (user_cpuset_getaffinity, user_setaffinity); an empty mask is
// EDEADLK before the process is looked up, a mask naming a CPU the machine
// lacks EINVAL after.
#include "freebsd/sys/cpuset.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "entry.h"
#include "linux/cpu_lists.h"
#include "linux/host_failure.h"
#include "linux/host_files.h"
#include "linux/proc_reads.h"
#include "linux/proc_records.h"
#include "linux/thread_settings.h"
#include "script/script.h"

namespace freebsd {
namespace {

static_assert(sizeof(::cpu_set_t) == sizeof(cpuset_t), "the host's mask has FreeBSD's size");

constexpr std::size_t kWords = sizeof(cpuset_t::__bits) / sizeof(cpuset_t::__bits[0]);

int fail(int err) {
    errno = err;
    return -1;
}

// The one addressing the stand-in answers.
int check_addressing(cpulevel_t level, cpuwhich_t which, const void* mask) {
    if (level != CPU_LEVEL_WHICH || which != CPU_WHICH_PID) return EINVAL;
    return mask == nullptr ? EFAULT : 0;
}

// -1 is the calling process; other negative ids and 0 name none (Linux
// would read 0 as the calling thread).
int check_id(id_t id) { return id != -1 && (id <= 0 || id > 0x7fffffff) ? ESRCH : 0; }

pid_t target_pid(id_t id) { return id == -1 ? ::getpid() : static_cast<pid_t>(id); }

// FreeBSD finds the process with pfind (live processes only: a zombie, or
// a thread id, is ESRCH), then asks p_cansched, for reading the mask as for
// setting it: a caller without privilege whose real and effective uid both
// differ from the target's real uid is refused with EPERM. The host would
// answer both. `group` and `first` are as find_live_process gives them.
int check_target(id_t id, compat::Fd& group, int& first) {
    const pid_t pid = target_pid(id);
    if (int err = compat::find_live_process(pid, group, first); err != 0) return err;
    // A privileged caller, or one asking about itself, needs nothing more.
    if (::geteuid() == 0 || pid == ::getpid()) return 0;
    unsigned owner = 0;
    if (int err = compat::process_real_uid(group.get(), owner); err != 0) return err;
    return ::getuid() == owner || ::geteuid() == owner ? 0 : EPERM;
}

// FreeBSD's new mask must lie within the process's parent set, whose CPUs
// are the machine's (else EINVAL, a mask naming only CPUs the machine lacks
// too). The host would drop CPUs it lacks and keep the rest.
int check_within_machine(const cpuset_t& mask) {
    std::vector<int> online;
    if (int err = compat::online_cpus(online); err != 0) return err;
    std::uint64_t machine[kWords] = {};
    for (int cpu : online) {
        const auto n = static_cast<std::size_t>(cpu);
        if (n < kWords * 64) machine[n / 64] |= std::uint64_t{1} << (n % 64);
    }
    for (std::size_t w = 0; w < kWords; ++w) {
        if ((static_cast<std::uint64_t>(mask.__bits[w]) & ~machine[w]) != 0) return EINVAL;
    }
    return 0;
}

bool empty_mask(const cpuset_t& mask) {
    return std::all_of(std::begin(mask.__bits), std::end(mask.__bits), [](long w) { return w == 0; });
}

// The bytes a mask needs: up to its highest CPU (CPU_FLS rounded up to
// bytes, as user_cpuset_getaffinity asks of the caller's buffer).
std::size_t bytes_needed(const cpuset_t& mask) {
    for (std::size_t w = kWords; w > 0; --w) {
        const auto bits = static_cast<std::uint64_t>(mask.__bits[w - 1]);
        if (bits != 0) return (w - 1) * 8 + (64 - static_cast<std::size_t>(__builtin_clzll(bits)) + 7) / 8;
    }
    return 0;
}

// Hands a mask over in the caller's buffer of setsize bytes: ERANGE when
// it can't hold the mask; bytes past the mask's own are zeros.
int copy_out(const cpuset_t& mask, std::size_t setsize, cpuset_t* out) {
    if (setsize < bytes_needed(mask)) return ERANGE;
    const std::size_t size = std::min(setsize, sizeof mask);
    std::memcpy(out, &mask, size);
    if (setsize > size) std::memset(reinterpret_cast<char*>(out) + size, 0, setsize - size);
    return 0;
}

// Takes a mask from the caller's buffer of setsize bytes: EINVAL when a
// byte past the mask's own is set; a short buffer leaves the rest empty.
int copy_in(const cpuset_t* in, std::size_t setsize, cpuset_t& mask) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(in);
    if (setsize > sizeof mask &&
        std::any_of(bytes + sizeof mask, bytes + setsize, [](unsigned char b) { return b != 0; }))
        return EINVAL;
    std::memset(&mask, 0, sizeof mask);
    std::memcpy(&mask, in, std::min(setsize, sizeof mask));
    return 0;
}

// The union of the masks of the threads that run. Returns 0, ESRCH when
// none is left, or the errno of a read that failed otherwise.
int process_mask(int group, pid_t pid, int first, cpuset_t& mask) {
    std::vector<int> tids;
    if (int err = compat::list_thread_ids(group, tids); err != 0) return err;
    std::memset(&mask, 0, sizeof mask);
    bool any = false;
    for (int tid : tids) {
        if (tid == pid && first != pid) continue;  // the exited first thread
        ::cpu_set_t host;
        if (::sched_getaffinity(tid, sizeof host, &host) != 0) {
            if (int failed = compat::skip_if_gone(errno); failed != 0) return failed;
            continue;
        }
        cpuset_t bits;
        std::memcpy(&bits, &host, sizeof bits);
        for (std::size_t w = 0; w < kWords; ++w) mask.__bits[w] |= bits.__bits[w];
        any = true;
    }
    return any ? 0 : ESRCH;
}

// A thread's CPU mask, as change_every_thread sets it.
class ThreadMask final : public compat::ThreadSetting {
public:
    explicit ThreadMask(const cpuset_t& mask) { std::memcpy(&mask_, &mask, sizeof mask_); }

    int change(int tid) override {
        Before b{tid, {}};
        before_.reserve(before_.size() + 1);  // may throw before anything changes
        if (::sched_getaffinity(tid, sizeof b.mask, &b.mask) != 0) return errno;
        if (::sched_setaffinity(tid, sizeof mask_, &mask_) != 0) return errno;
        before_.push_back(b);
        return 0;
    }
    void undo_last() override {
        const Before& b = before_.back();
        ::sched_setaffinity(b.tid, sizeof b.mask, &b.mask);
        before_.pop_back();
    }

private:
    struct Before {
        int tid;
        ::cpu_set_t mask;
    };
    ::cpu_set_t mask_;
    std::vector<Before> before_;
};

}  // namespace

// Scripted answer: the mask's bytes (128 at most; the rest reads as zero).
int cpuset_getaffinity(cpulevel_t level, cpuwhich_t which, id_t id, std::size_t setsize, cpuset_t* mask) {
    return compat::guarded_call(-1, [&] {
        auto outcome = compat::script::consult_call("cpuset_getaffinity", id);
        if (outcome.fail) return fail(outcome.err);
        if (int err = check_addressing(level, which, mask); err != 0) return fail(err);
        if (int err = check_id(id); err != 0) return fail(err);
        cpuset_t found;
        std::memset(&found, 0, sizeof found);
        if (outcome.answer != nullptr) {
            std::memcpy(&found, outcome.answer->data(), std::min(outcome.answer->size(), sizeof found));
            if (int err = copy_out(found, setsize, mask); err != 0) return fail(err);
            return 0;
        }
        compat::Fd group;
        int first = 0;
        if (int err = check_target(id, group, first); err != 0) return fail(err);
        if (int err = process_mask(group.get(), target_pid(id), first, found); err != 0) return fail(err);
        if (int err = copy_out(found, setsize, mask); err != 0) return fail(err);
        return 0;
    });
}

// A scripted answer (any bytes) makes the call succeed without the host.
int cpuset_setaffinity(cpulevel_t level, cpuwhich_t which, id_t id, std::size_t setsize,
                       const cpuset_t* mask) {
    return compat::guarded_call(-1, [&] {
        auto outcome = compat::script::consult_call("cpuset_setaffinity", id);
        if (outcome.fail) return fail(outcome.err);
        if (int err = check_addressing(level, which, mask); err != 0) return fail(err);
        cpuset_t wanted;
        if (int err = copy_in(mask, setsize, wanted); err != 0) return fail(err);
        if (empty_mask(wanted)) return fail(EDEADLK);
        if (int err = check_id(id); err != 0) return fail(err);
        if (outcome.answer != nullptr) return 0;
        compat::Fd group;
        int first = 0;
        if (int err = check_target(id, group, first); err != 0) return fail(err);
        if (int err = check_within_machine(wanted); err != 0) return fail(err);
        ThreadMask setting(wanted);
        if (int err = compat::change_every_thread(group.get(), target_pid(id), first, setting); err != 0)
            return fail(err);
        return 0;
    });
}

}  // namespace freebsd
