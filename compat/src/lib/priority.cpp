// getpriority(2) and setpriority(2): FreeBSD's and Linux's agree on the
// `which` numbers and on the range the host can hold (FreeBSD's ends at 20,
// the host's at 19, each clamping beyond). For PRIO_PROCESS they differ:
// FreeBSD's nice belongs to the process (kern_setpriority, donice,
// sched_nice renice every thread of it), the host's to one thread. So the
// process is found as pfind finds it (a zombie, or a thread id, is ESRCH),
// its nice read from the thread that answers for it, and set on all of
// them at once. PRIO_PGRP and PRIO_USER reach every thread on the host
// already.
#include "freebsd/sys/resource.h"
// The host headers come after: their macros would rewrite FreeBSD names.
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "entry.h"
#include "linux/proc_records.h"
#include "linux/thread_settings.h"
#include "script/script.h"

namespace freebsd {
namespace {

// The host's `which` for FreeBSD's, or -1 for one the host lacks.
int host_which(int which) {
    switch (which) {
        case PRIO_PROCESS:
            return static_cast<int>(::PRIO_PROCESS);
        case PRIO_PGRP:
            return static_cast<int>(::PRIO_PGRP);
        case PRIO_USER:
            return static_cast<int>(::PRIO_USER);
        default:
            return -1;
    }
}

int fail(int err) {
    errno = err;
    return -1;
}

// The process PRIO_PROCESS names: 0 is the caller.
int process_of(int who) { return who == 0 ? static_cast<int>(::getpid()) : who; }

// One thread's nice value, as change_every_thread sets it.
class ThreadNice final : public compat::ThreadSetting {
public:
    explicit ThreadNice(int nice) : nice_(nice) {}

    int change(int tid) override {
        before_.reserve(before_.size() + 1);  // may throw before anything changes
        errno = 0;
        const int before = ::getpriority(::PRIO_PROCESS, static_cast<::id_t>(tid));
        if (before == -1 && errno != 0) return errno;
        if (::setpriority(::PRIO_PROCESS, static_cast<::id_t>(tid), nice_) != 0) return errno;
        before_.push_back({tid, before});
        return 0;
    }
    // Putting back a lower value than the new one needs the privilege to
    // lower a nice value (or a nice limit that allows it), as the change did.
    void undo_last() override {
        const Before& b = before_.back();
        ::setpriority(::PRIO_PROCESS, static_cast<::id_t>(b.tid), b.nice);
        before_.pop_back();
    }

private:
    struct Before {
        int tid;
        int nice;
    };
    int nice_;
    std::vector<Before> before_;
};

}  // namespace

// Scripted answer: the nice value as a 4-byte int.
int getpriority(int which, int who) {
    return compat::guarded_call(-1, [&] {
        auto outcome = compat::script::consult_call("getpriority", who);
        if (outcome.fail) {
            errno = outcome.err;
            return -1;
        }
        if (outcome.answer != nullptr && outcome.answer->size() == sizeof(int)) {
            int value = 0;
            std::memcpy(&value, outcome.answer->data(), sizeof value);
            return value;
        }
        const int host = host_which(which);
        if (host < 0) return fail(EINVAL);
        if (which != PRIO_PROCESS)
            return ::getpriority(static_cast<__priority_which_t>(host), static_cast<::id_t>(who));
        // -1 is a nice value too: the caller tells a failure by errno alone,
        // which the look-up's own reads must not leave changed.
        const int saved = errno;
        compat::Fd group;
        int first = 0;
        if (int err = compat::find_live_process(process_of(who), group, first); err != 0) return fail(err);
        errno = saved;
        return ::getpriority(::PRIO_PROCESS, static_cast<::id_t>(first));
    });
}

// A scripted answer (any bytes) makes the call succeed without the host.
int setpriority(int which, int who, int prio) {
    return compat::guarded_call(-1, [&] {
        auto outcome = compat::script::consult_call("setpriority", who);
        if (outcome.fail) {
            errno = outcome.err;
            return -1;
        }
        if (outcome.answer != nullptr) return 0;
        const int host = host_which(which);
        if (host < 0) return fail(EINVAL);
        if (which != PRIO_PROCESS)
            return ::setpriority(static_cast<__priority_which_t>(host), static_cast<::id_t>(who), prio);
        const int pid = process_of(who);
        compat::Fd group;
        int first = 0;
        if (int err = compat::find_live_process(pid, group, first); err != 0) return fail(err);
        ThreadNice setting(prio);
        if (int err = compat::change_every_thread(group.get(), pid, first, setting); err != 0)
            return fail(err);
        return 0;
    });
}

}  // namespace freebsd
