// kern.proc.args.<pid>, kern.proc.pathname.<pid> and the size answer of
// kern.proc.pid_td.<pid>: the argument area, the executable's path, and how
// many thread records a process has.
//
// The stand-in's FreeBSD declarations come before the host's headers, whose
// macros would otherwise rewrite FreeBSD names.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "kern/nodes.h"
#include "linux/proc_reads.h"
#include "linux/proc_records.h"

namespace compat {

namespace {

int read_args_from_host(int pid, std::string& out) {
    // The host's argument area is the same NUL-separated strings; a kernel
    // thread has none, an exited process keeps none, and neither does an
    // ended first thread while others run on. So only an empty area needs
    // the folder that answers for the process: the common case costs no
    // more than the process's own folder.
    Fd dir;
    if (int err = open_thread_group_dir(pid, dir); err != 0) return err;
    if (int err = read_whole_at(dir.get(), "cmdline", out); err != 0) return process_refusal(err);
    if (!out.empty()) return 0;
    if (int err = open_process_dir(pid, dir); err != 0) return err;
    if (int err = read_whole_at(dir.get(), "cmdline", out); err != 0) return process_refusal(err);
    return 0;
}

// The host can only size an argument area by reading it. The area read for
// a size question is kept for the read that follows it on the same thread
// (as FreeBSD's kernel answers both from the one copy it holds), and only
// for a moment: any other question, or a later one, reads afresh.
struct SizedArea {
    int pid = 0;
    std::string root;
    std::string bytes;
    ::timespec when{};
    bool valid = false;
};
thread_local SizedArea sized_area;

constexpr long kSizedAreaNanos = 20'000'000;  // 20 ms

bool fresh(const ::timespec& then) {
    ::timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const long long elapsed = (now.tv_sec - then.tv_sec) * 1'000'000'000LL + (now.tv_nsec - then.tv_nsec);
    return elapsed >= 0 && elapsed < kSizedAreaNanos;
}

}  // namespace

int size_proc_args(NodeArgs args, std::size_t& size) {
    SizedArea& area = sized_area;
    area.valid = false;
    if (int err = read_args_from_host(args[0], area.bytes); err != 0) return err;
    area.pid = args[0];
    area.root = host_root();
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &area.when);
    area.valid = true;
    size = area.bytes.size();
    return 0;
}

int read_proc_args(NodeArgs args, std::string& out) {
    SizedArea& area = sized_area;
    if (area.valid && area.pid == args[0] && area.root == host_root() && fresh(area.when)) {
        area.valid = false;
        out.swap(area.bytes);
        return 0;
    }
    area.valid = false;
    return read_args_from_host(args[0], out);
}

int read_proc_pathname(NodeArgs args, std::string& out) {
    // As on FreeBSD, -1 names the calling process.
    const int pid = args[0] == -1 ? static_cast<int>(::getpid()) : args[0];
    if (pid <= 0) return ESRCH;
    // One readlink names the file of a process whose first thread runs; the
    // process's folder is opened only when it does not.
    char rel[40];
    std::snprintf(rel, sizeof rel, "proc/%d/exe", pid);
    std::string path;
    int err = read_link_at(AT_FDCWD, (host_root() + rel).c_str(), path);
    Fd dir;
    if (err == 0) {
        if (int refused = check_process_id(pid, -1); refused != 0) return refused;
    } else {
        if (int gone = open_process_dir(pid, dir); gone != 0) return gone;
        err = read_link_at(dir.get(), "exe", path);
    }
    // A path beyond FreeBSD's limit is one its kernel cannot name.
    if (err == 0 && path.size() >= static_cast<std::size_t>(freebsd::MAXPATHLEN)) return ENOENT;
    if (err == 0) {
        out.append(path);
        out.push_back('\0');
        return 0;
    }
    if (err != ENOENT) return process_refusal(err);
    // No executable to name: a zombie has let go of its text (an empty
    // answer, as FreeBSD gives), a kernel thread never had one (ENOENT).
    char state = 0;
    if (int failed = read_state_letter(dir.get(), state); failed != 0) return failed;
    switch (state) {
        case 'Z':
        case 'X':
            return 0;
        default:
            return ENOENT;
    }
}

int size_proc_pid_threads(NodeArgs args, std::size_t& size) {
    Fd dir;
    if (int err = open_thread_group_dir(args[0], dir); err != 0) return err;
    std::vector<int> tids;
    if (int err = list_thread_ids(dir.get(), tids); err != 0) return process_refusal(err);
    if (tids.empty()) return ESRCH;
    size = with_process_slack(tids.size());
    return 0;
}

}  // namespace compat
