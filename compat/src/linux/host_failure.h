// What a failed read of the host means for the answer built on it: the one
// place that tells "gone" from "refused" from "failed".
//
// Only the absence of the thing asked about (its /proc folder or file is not
// there: ENOENT, ESRCH) means it has gone. EACCES and EPERM are the host's
// permission check. Anything else (EMFILE, ENFILE, ENOMEM, EAGAIN, EIO ...)
// is a failure of the host, not a fact about the thing: the node or call
// that meets it fails with that errno, whole. A table is never shorter than
// the host's for it, a live process is never called gone for it, and a
// change over several threads is never left half done for it.
#pragma once

namespace compat {

enum class HostFailure {
    none,     // 0: the read worked
    gone,     // the thing asked about is not there (ENOENT, ESRCH)
    refused,  // the host would not show it (EACCES, EPERM)
    failed,   // anything else: the host could not answer
};

HostFailure classify_host_failure(int err);

// The error FreeBSD gives where a read of one process's file failed: ESRCH
// when the process has gone, EPERM when the host refused, otherwise the
// host's own errno.
int process_refusal(int err);

// For a walk over many entries (processes, threads, descriptors, table
// rows): 0 when the entry is to be left out because it has gone meanwhile,
// else the errno that fails the whole walk.
int skip_if_gone(int err);

// The same for walks that, as FreeBSD's do, also pass over what the caller
// may not see: a refused entry is left out too.
int skip_if_gone_or_refused(int err);

}  // namespace compat
