// kern.proc.pid, kern.proc.proc and kern.proc.pid_td: process records.
// The stand-in's FreeBSD declarations come before the host's headers, whose
// macros would otherwise rewrite FreeBSD names.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "freebsd/sys/proc.h"
#include "kern/nodes.h"
#include "linux/host_failure.h"
#include "linux/parallel.h"
#include "linux/proc_records.h"

namespace compat {

using freebsd::kinfo_proc;

namespace {

// A process's whole record: what its /proc folder tells, block counts too.
int build_process_record(int pid, kinfo_proc& kp) {
    Fd dir;
    if (int err = open_thread_group_dir(pid, dir); err != 0) return err;
    if (int err = fill_process_record(dir.get(), pid, kp); err != 0) return err;
    return add_block_counts(dir.get(), kp);
}

// Processes a helper thread takes at a time when the table is built on
// several CPUs: enough to make the hand-over cheap, few enough to share
// the tail of the work evenly.
constexpr std::size_t kRecordsPerRange = 16;

}  // namespace

std::size_t with_process_slack(std::size_t records) { return (records + kProcessSlack) * sizeof(kinfo_proc); }

int read_proc_pid(NodeArgs args, std::string& out) {
    kinfo_proc kp;
    if (int err = build_process_record(args[0], kp); err != 0) return err;
    append_value(out, kp);
    return 0;
}

int size_proc_pid(NodeArgs args, std::size_t& size) {
    Fd dir;
    if (int err = open_thread_group_dir(args[0], dir); err != 0) return err;
    size = sizeof(kinfo_proc);
    return 0;
}

int read_proc_pid_threads(NodeArgs args, std::string& out) {
    const int pid = args[0];
    Fd dir;
    if (int err = open_thread_group_dir(pid, dir); err != 0) return err;
    kinfo_proc kp;
    if (int err = fill_process_record(dir.get(), pid, kp); err != 0) return err;
    // FreeBSD lets a thread go when it exits: a live process lists only
    // the threads that run, though the host keeps an exited first thread
    // as a zombie until the last one ends. A zombie keeps its one record.
    const bool alive = kp.ki_stat != freebsd::SZOMB;

    std::vector<int> tids;
    if (int err = list_thread_ids(dir.get(), tids); err != 0) return err;
    out.reserve(tids.size() * sizeof(kinfo_proc));
    for (int tid : tids) {
        // A thread that ends while the table is read is simply not listed;
        // any other failure fails the table.
        if (int err = fill_thread_record(dir.get(), tid, kp); err != 0) {
            if (int failed = skip_if_gone(err); failed != 0) return failed;
            continue;
        }
        if (alive && kp.ki_stat == freebsd::SZOMB) continue;
        append_value(out, kp);
    }
    return out.empty() ? ESRCH : 0;
}

// Every process's record, in the order the host lists them. Each record is
// built on its own, so the table is built on all the CPUs the caller may
// use, each record in its own slot; the slots of processes that ended
// meanwhile, or that the host will not show (simply not listed), are closed
// up after. A record that can't be built for any other reason fails the
// whole table with that errno: it is never answered shorter.
int read_proc_all(NodeArgs, std::string& out) {
    std::vector<int> pids;
    if (int err = list_process_ids(pids); err != 0) return err;
    const std::size_t base = out.size();
    out.resize(base + pids.size() * sizeof(kinfo_proc));
    std::vector<unsigned char> built(pids.size());
    std::atomic<int> failure{0};
    for_each_range(pids.size(), kRecordsPerRange, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end && failure.load(std::memory_order_relaxed) == 0; ++i) {
            kinfo_proc kp;
            if (int err = build_process_record(pids[i], kp); err != 0) {
                if (int failed = skip_if_gone_or_refused(err); failed != 0) {
                    int none = 0;
                    failure.compare_exchange_strong(none, failed, std::memory_order_relaxed);
                }
                continue;
            }
            std::memcpy(&out[base + i * sizeof kp], &kp, sizeof kp);
            built[i] = 1;
        }
    });
    if (int err = failure.load(std::memory_order_relaxed); err != 0) {
        out.resize(base);
        return err;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        if (!built[i]) continue;
        if (kept != i)
            std::memmove(&out[base + kept * sizeof(kinfo_proc)], &out[base + i * sizeof(kinfo_proc)],
                         sizeof(kinfo_proc));
        ++kept;
    }
    out.resize(base + kept * sizeof(kinfo_proc));
    return 0;
}

int size_proc_all(NodeArgs, std::size_t& size) {
    std::vector<int> pids;
    if (int err = list_process_ids(pids); err != 0) return err;
    size = with_process_slack(pids.size());
    return 0;
}

}  // namespace compat
