// getpriority(2) and setpriority(2): FreeBSD's and Linux's agree on the
// `which` numbers and on the nice range, so the host's calls answer as they are.
#include "freebsd/sys/resource.h"
// The host headers come after: their macros would rewrite FreeBSD names.
#include <sys/resource.h>

#include <cerrno>
#include <cstring>

#include "entry.h"
#include "linux/proc_reads.h"
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

// FreeBSD finds the process of PRIO_PROCESS with pfind, which skips
// zombies (ESRCH); the host would answer for one. 0 is the caller.
int check_process(int which, int who) {
    if (which != PRIO_PROCESS || who == 0) return 0;
    return compat::check_live_process(who);
}

int fail(int err) {
    errno = err;
    return -1;
}

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
        if (int err = check_process(which, who); err != 0) return fail(err);
        return ::getpriority(static_cast<__priority_which_t>(host), static_cast<::id_t>(who));
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
        if (int err = check_process(which, who); err != 0) return fail(err);
        return ::setpriority(static_cast<__priority_which_t>(host), static_cast<::id_t>(who), prio);
    });
}

}  // namespace freebsd
