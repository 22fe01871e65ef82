// kern.proc.pid, kern.proc.proc and kern.proc.pid_td: process records.
// The stand-in's FreeBSD declarations come before the host's headers, whose
// macros would otherwise rewrite FreeBSD names.
#include "nodes.h"
#include "proc_records.h"

#include <cerrno>
#include <vector>

namespace compat {

using freebsd::kinfo_proc;

int read_proc_pid(NodeArgs args, std::string& out) {
    Fd dir;
    if (int err = open_process_dir(args[0], dir); err != 0) return err;
    kinfo_proc kp;
    if (int err = fill_process_record(dir.get(), args[0], kp); err != 0) return err;
    add_block_counts(dir.get(), kp);
    append_value(out, kp);
    return 0;
}

int size_proc_pid(NodeArgs args, std::size_t& size) {
    Fd dir;
    if (int err = open_process_dir(args[0], dir); err != 0) return err;
    size = sizeof(kinfo_proc);
    return 0;
}

int read_proc_pid_threads(NodeArgs args, std::string& out) {
    const int pid = args[0];
    Fd dir;
    if (int err = open_process_dir(pid, dir); err != 0) return err;
    kinfo_proc kp;
    if (int err = fill_process_record(dir.get(), pid, kp); err != 0) return err;

    std::vector<int> tids;
    if (int err = list_thread_ids(dir.get(), tids); err != 0) return err;
    out.reserve(tids.size() * sizeof(kinfo_proc));
    for (int tid : tids) {
        // A thread that ends while the table is read is simply not listed.
        if (fill_thread_record(dir.get(), tid, kp) == 0) append_value(out, kp);
    }
    return out.empty() ? ESRCH : 0;
}

int read_proc_all(NodeArgs, std::string& out) {
    std::vector<int> pids;
    if (int err = list_process_ids(pids); err != 0) return err;
    out.reserve(pids.size() * sizeof(kinfo_proc));
    kinfo_proc kp;
    for (int pid : pids) {
        Fd dir;
        // A process that ends while the table is read is simply not listed.
        if (open_process_dir(pid, dir) != 0) continue;
        if (fill_process_record(dir.get(), pid, kp) != 0) continue;
        add_block_counts(dir.get(), kp);
        append_value(out, kp);
    }
    return 0;
}

int size_proc_all(NodeArgs, std::size_t& size) {
    std::vector<int> pids;
    if (int err = list_process_ids(pids); err != 0) return err;
    size = pids.size() * sizeof(kinfo_proc);
    return 0;
}

}  // namespace compat
