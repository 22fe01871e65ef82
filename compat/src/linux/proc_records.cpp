// Host sources, per field, are listed in docs/linux-mapping.md.
#include "linux/proc_records.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "freebsd/sys/proc.h"
#include "linux/host_dirs.h"
#include "linux/host_failure.h"
#include "linux/host_text.h"

namespace compat {
namespace {

using freebsd::kinfo_proc;

constexpr unsigned long kLinuxKernelThread = 0x00200000;  // PF_KTHREAD in the stat flags

long clock_ticks() {
    static const long ticks = ::sysconf(_SC_CLK_TCK);
    return ticks > 0 ? ticks : 100;
}

long page_kib() {
    static const long kib = ::sysconf(_SC_PAGESIZE) / 1024;
    return kib > 0 ? kib : 4;
}

::timeval ticks_to_timeval(unsigned long long ticks) {
    const long hz = clock_ticks();
    ::timeval tv;
    tv.tv_sec = static_cast<time_t>(ticks / hz);
    tv.tv_usec = static_cast<suseconds_t>((ticks % hz) * 1000000 / hz);
    return tv;
}

// Wall-clock time of boot: the distance between the real-time clock and the
// boot clock. Measured afresh it wobbles by the time between the two clock
// reads, which would move every start time by a few microseconds from call to
// call; so the first measure is kept while later ones agree with it within a
// second, and a stepped real-time clock (a larger change) replaces it.
double boot_time_seconds() {
    static std::atomic<double> kept{0.0};
    ::timespec real{}, boot{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    const double now = static_cast<double>(real.tv_sec - boot.tv_sec) +
                       static_cast<double>(real.tv_nsec - boot.tv_nsec) / 1e9;
    const double before = kept.load(std::memory_order_relaxed);
    if (before != 0.0 && now - before < 1.0 && before - now < 1.0) return before;
    kept.store(now, std::memory_order_relaxed);
    return now;
}

// The space-separated fields of /proc/<pid>/stat after the command name, up
// to the last one a record takes (the processor); the rest is not split.
struct StatLine {
    static constexpr int kFieldsUsed = 37;
    std::string_view comm;
    std::string_view fields[kFieldsUsed];
    int count = 0;

    bool parse(std::string_view text) {
        auto open = text.find('(');
        auto close = text.rfind(')');
        if (open == std::string_view::npos || close == std::string_view::npos || close < open) return false;
        comm = text.substr(open + 1, close - open - 1);
        std::string_view rest = text.substr(close + 1);
        count = 0;
        while (count < kFieldsUsed) {
            std::string_view field = next_token(rest);
            if (field.empty()) break;
            fields[count++] = field;
        }
        return count == kFieldsUsed;
    }
    template <typename T>
    T get(int index) const {
        T value{};
        if (index < count) to_number(fields[index], value);
        return value;
    }
};

// Field indexes after the command name (stat field number minus 3).
enum StatField {
    kState = 0,
    kPpid = 1,
    kPgrp = 2,
    kSession = 3,
    kTtyNr = 4,
    kTpgid = 5,
    kFlags = 6,
    kMinflt = 7,
    kCminflt = 8,
    kMajflt = 9,
    kCmajflt = 10,
    kUtime = 11,
    kStime = 12,
    kCutime = 13,
    kCstime = 14,
    kNice = 16,
    kNumThreads = 17,
    kStartTime = 19,
    kVsize = 20,
    kProcessor = 36,
};
static_assert(kProcessor < StatLine::kFieldsUsed, "every field a record takes is split out");

// The lines of /proc/<pid>/status a record needs, found in one pass.
struct StatusLines {
    enum Key {
        kTgid,
        kTracerPid,
        kUid,
        kGid,
        kGroups,
        kVmRSS,
        kVmExe,
        kVmData,
        kVmStk,
        kVmHWM,
        kVoluntary,
        kNonvoluntary,
        kCount
    };
    std::string_view values[kCount];

    void parse(std::string_view text) {
        static constexpr std::string_view kNames[kCount] = {"Tgid",
                                                            "TracerPid",
                                                            "Uid",
                                                            "Gid",
                                                            "Groups",
                                                            "VmRSS",
                                                            "VmExe",
                                                            "VmData",
                                                            "VmStk",
                                                            "VmHWM",
                                                            "voluntary_ctxt_switches",
                                                            "nonvoluntary_ctxt_switches"};
        int found = 0;
        while (!text.empty() && found < kCount) {
            std::string_view line = next_line(text);
            auto colon = line.find(':');
            if (colon == std::string_view::npos) continue;
            std::string_view name = line.substr(0, colon);
            for (int k = 0; k < kCount; ++k) {
                if (name == kNames[k] && values[k].data() == nullptr) {
                    values[k] = line.substr(colon + 1);
                    ++found;
                    break;
                }
            }
        }
    }
    template <typename T>
    int numbers(Key key, T* out, int n) const {
        return leading_numbers(values[key], out, n);
    }
    template <typename T>
    T number(Key key) const {
        T value{};
        leading_numbers(values[key], &value, 1);
        return value;
    }
};

long kib_as_pages(long kib) { return kib / page_kib(); }

// Linux's tty_nr packs major and minor one way, dev_t another; report the
// dev_t the terminal's device node has (what stat(2) shows as st_rdev).
std::uint64_t tty_to_dev(unsigned long long tty_nr) {
    if (tty_nr == 0) return freebsd::NODEV;
    const std::uint64_t major = (tty_nr >> 8) & 0xfff;
    const std::uint64_t minor = (tty_nr & 0xff) | ((tty_nr >> 12) & 0xfff00);
    return ((major & 0xfffff000ULL) << 32) | ((major & 0xfffULL) << 8) | ((minor & 0xffffff00ULL) << 12) |
           (minor & 0xffULL);
}

void copy_name(char* dst, std::size_t size, std::string_view name) {
    std::size_t n = name.size() < size - 1 ? name.size() : size - 1;
    std::memcpy(dst, name.data(), n);
    dst[n] = '\0';
}

char stat_state(const StatLine& stat) {
    return state_from_letter(stat.fields[kState].empty() ? '?' : stat.fields[kState][0]);
}

// The state, and the CPU: the one it runs on while running (the host shows
// runnable and running alike), and the one it last ran on.
void set_state_and_cpu(const StatLine& stat, kinfo_proc& kp) {
    kp.ki_stat = stat_state(stat);
    const int cpu = stat.get<int>(kProcessor);
    kp.ki_lastcpu = cpu;
    kp.ki_oncpu = kp.ki_stat == freebsd::SRUN ? cpu : freebsd::NOCPU;
    kp.ki_oncpu_old = static_cast<std::uint8_t>(kp.ki_oncpu < 0 || kp.ki_oncpu > 254 ? 255 : kp.ki_oncpu);
    kp.ki_lastcpu_old = static_cast<std::uint8_t>(cpu < 0 || cpu > 254 ? 255 : cpu);
}

// The CPU times and page faults of one usage record, from the stat fields
// that hold them; returns the CPU time in ticks.
unsigned long long take_usage(const StatLine& stat, StatField utime_field, StatField stime_field,
                              StatField minflt_field, StatField majflt_field, freebsd::rusage& ru) {
    const auto utime = stat.get<unsigned long long>(utime_field);
    const auto stime = stat.get<unsigned long long>(stime_field);
    ru.ru_utime = ticks_to_timeval(utime);
    ru.ru_stime = ticks_to_timeval(stime);
    ru.ru_minflt = stat.get<long>(minflt_field);
    ru.ru_majflt = stat.get<long>(majflt_field);
    return utime + stime;
}

// Thread-level facts shared by process and thread records.
void apply_stat_times(const StatLine& stat, kinfo_proc& kp) {
    set_state_and_cpu(stat, kp);
    const auto ticks = take_usage(stat, kUtime, kStime, kMinflt, kMajflt, kp.ki_rusage);
    kp.ki_runtime = ticks * 1000000ULL / static_cast<unsigned long long>(clock_ticks());
    copy_name(kp.ki_tdname, sizeof kp.ki_tdname, stat.comm);
}

// The first thread other than the first one (pid) that still runs, with
// its stat line: tid 0 when none does. A thread that ends meanwhile is
// passed over. Returns 0 or the errno of a read that failed otherwise.
int first_live_thread(int dir, int pid, int& tid, FileText& text, StatLine& stat) {
    tid = 0;
    std::vector<int> tids;
    if (int err = list_thread_ids(dir, tids); err != 0) return err;
    for (int candidate : tids) {
        if (candidate == pid) continue;
        char rel[48];
        std::snprintf(rel, sizeof rel, "task/%d/stat", candidate);
        if (int err = text.read_at(dir, rel); err != 0) {
            if (int failed = skip_if_gone(err); failed != 0) return process_refusal(failed);
            continue;
        }
        if (!stat.parse(text.view()) || stat_state(stat) == freebsd::SZOMB) continue;
        tid = candidate;
        return 0;
    }
    return 0;
}

// Whether the host keeps the process's first thread as a zombie while
// others run: a zombie state with more than that one thread counted.
bool first_thread_exited(const StatLine& stat) {
    return stat_state(stat) == freebsd::SZOMB && stat.get<int>(kNumThreads) > 1;
}

// The thread that answers for the process of the folder `dir`: pid while
// its first thread runs, else the first thread still running, 0 when none
// runs (a zombie). Returns 0 or the errno of a read that failed.
int answering_thread(int dir, int pid, int& tid) {
    tid = pid;
    // A thread lets go of its working directory when it exits, and a kernel
    // thread has one too: while the link reads, the first thread runs. This
    // costs one readlink where the state would cost a stat file; a folder
    // that does not show the link (another user's process, a captured tree)
    // tells by the state instead.
    char link[8];
    if (::readlinkat(dir, "cwd", link, sizeof link) >= 0) return 0;
    if (classify_host_failure(errno) == HostFailure::failed) return errno;
    FileText text;
    if (int err = text.read_at(dir, "stat"); err != 0) return process_refusal(err);
    // Only the state and the thread count are needed: a short line will do.
    StatLine stat;
    stat.parse(text.view());
    if (stat.count == 0) return ESRCH;
    if (stat_state(stat) != freebsd::SZOMB) return 0;
    tid = 0;
    if (!first_thread_exited(stat)) return 0;
    FileText thread_text;
    StatLine thread_stat;
    return first_live_thread(dir, pid, tid, thread_text, thread_stat);
}

// Attempts at opening the folder of a thread that answers for a process,
// each of which that thread may have ended before.
constexpr int kAnsweringAttempts = 16;

}  // namespace

char state_from_letter(char letter) {
    switch (letter) {
        case 'R':
            return freebsd::SRUN;
        case 'S':
            return freebsd::SSLEEP;  // interruptible sleep
        case 'D':
            return freebsd::SSLEEP;  // uninterruptible sleep
        case 'I':
            return freebsd::SSLEEP;  // idle kernel thread
        case 'P':
            return freebsd::SSLEEP;  // parked kernel thread
        case 'W':
            return freebsd::SRUN;  // waking
        case 'T':
            return freebsd::SSTOP;  // stopped by a signal
        case 't':
            return freebsd::SSTOP;  // stopped by a tracer
        case 'Z':
            return freebsd::SZOMB;
        case 'X':
            return freebsd::SZOMB;  // dead, being reaped
        default:
            return freebsd::SSLEEP;
    }
}

int check_process_id(int pid, int dir) {
    if (pid <= 0) return ESRCH;
    if (host_root() == "/") {
        // The kernel's own test, without a file: tgkill(pid, pid, 0) finds
        // the thread pid only in the thread group pid. EPERM: it exists,
        // and belongs to someone else.
        if (::syscall(SYS_tgkill, pid, pid, 0) == 0 || errno == EPERM) return 0;
        return process_refusal(errno);
    }
    // A captured tree: a status names the thread group. A tree that holds
    // no status, or no Tgid in it, leaves the answer to the reads that
    // follow.
    FileText status;
    const int err = dir >= 0 ? status.read_at(dir, "status")
                             : status.read_host("proc/" + std::to_string(pid) + "/status");
    if (err == ENOENT) return 0;
    if (err != 0) return process_refusal(err);
    int tgid = 0;
    if (leading_numbers(key_value(status.view(), "Tgid"), &tgid, 1) != 1) return 0;
    return tgid == pid ? 0 : ESRCH;
}

int open_thread_group_dir(int pid, Fd& dir) {
    if (pid <= 0) return ESRCH;
    char rel[32];
    std::snprintf(rel, sizeof rel, "proc/%d", pid);
    // A path descriptor: it is only a base for the reads below it, and
    // opens faster than a readable one.
    dir = open_host(rel, O_PATH | O_DIRECTORY);
    if (!dir.valid()) return process_refusal(errno);
    return check_process_id(pid, dir.get());
}

int open_process_dir(int pid, Fd& dir) {
    Fd group;
    if (int err = open_thread_group_dir(pid, group); err != 0) return err;
    for (int attempt = 0; attempt < kAnsweringAttempts; ++attempt) {
        int tid = 0;
        // A process that has gone meanwhile (or a captured tree without a
        // stat) keeps its own folder: the reads below it tell.
        if (int err = answering_thread(group.get(), pid, tid); err != 0 && err != ESRCH) return err;
        if (tid == pid || tid == 0) {
            dir = std::move(group);
            return 0;
        }
        char rel[32];
        std::snprintf(rel, sizeof rel, "task/%d", tid);
        dir = Fd(::openat(group.get(), rel, O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (dir.valid()) return 0;
        // That thread ended meanwhile: another one answers now.
        if (int failed = skip_if_gone(errno); failed != 0) return process_refusal(failed);
    }
    return EAGAIN;
}

int find_live_process(int pid, Fd& group, int& tid) {
    if (int err = open_thread_group_dir(pid, group); err != 0) return err;
    if (int err = answering_thread(group.get(), pid, tid); err != 0) return err;
    return tid == 0 ? ESRCH : 0;
}

int fill_process_record(int dir, int pid, kinfo_proc& kp) {
    FileText stat_file, status_file;
    if (int err = stat_file.read_at(dir, "stat"); err != 0) return process_refusal(err);
    StatLine stat;
    if (!stat.parse(stat_file.view())) return ESRCH;
    // The stat of /proc/<pid> sums the times of all threads, the exited
    // ones' too. A first thread that has exited while others run holds no
    // memory any longer: the thread that answers for the process tells its
    // sizes, state and CPU, as FreeBSD's record carries its first thread's.
    int first = pid;
    FileText thread_file;
    StatLine thread_stat;
    bool other_first = false;
    for (int attempt = 1;; ++attempt) {
        if (first_thread_exited(stat)) {
            if (int err = first_live_thread(dir, pid, first, thread_file, thread_stat); err != 0) return err;
        }
        other_first = first != pid && first != 0;
        char status_rel[48] = "status";
        if (other_first) std::snprintf(status_rel, sizeof status_rel, "task/%d/status", first);
        const int err = status_file.read_at(dir, status_rel);
        if (err == 0) break;
        // The thread found may end before its status is read: another one
        // answers then.
        if (!other_first || skip_if_gone(err) != 0 || attempt == kAnsweringAttempts)
            return process_refusal(err);
    }
    StatusLines status;
    status.parse(status_file.view());
    using S = StatusLines;

    std::memset(&kp, 0, sizeof kp);
    kp.ki_structsize = sizeof(kinfo_proc);
    kp.ki_pid = pid;
    kp.ki_tid = pid;  // the main thread's id is the process id
    kp.ki_ppid = stat.get<int>(kPpid);
    kp.ki_pgid = stat.get<int>(kPgrp);
    kp.ki_sid = stat.get<int>(kSession);
    kp.ki_tpgid = stat.get<int>(kTpgid);
    const auto tty_nr = stat.get<unsigned long long>(kTtyNr);
    kp.ki_tdev = tty_to_dev(tty_nr);
    kp.ki_tdev_freebsd11 = static_cast<std::uint32_t>(kp.ki_tdev);
    kp.ki_tsid = tty_nr != 0 ? kp.ki_sid : 0;
    apply_stat_times(stat, kp);
    copy_name(kp.ki_comm, sizeof kp.ki_comm, stat.comm);
    kp.ki_numthreads = stat.get<int>(kNumThreads);
    kp.ki_size = stat.get<std::uint64_t>(kVsize);
    if (other_first) {
        // FreeBSD has let the exited thread go: one thread fewer.
        set_state_and_cpu(thread_stat, kp);
        kp.ki_tid = first;
        copy_name(kp.ki_tdname, sizeof kp.ki_tdname, thread_stat.comm);
        kp.ki_numthreads -= 1;
        kp.ki_size = thread_stat.get<std::uint64_t>(kVsize);
    }

    long flags = freebsd::P_INMEM;
    if (stat.get<unsigned long>(kFlags) & kLinuxKernelThread) flags |= freebsd::P_SYSTEM | freebsd::P_KPROC;
    if (tty_nr != 0) flags |= freebsd::P_CONTROLT;
    const int tracer = status.number<int>(S::kTracerPid);
    if (tracer != 0) flags |= freebsd::P_TRACED;
    kp.ki_flag = flags;
    kp.ki_tracer = tracer;

    kp.ki_nice = static_cast<signed char>(stat.get<int>(kNice));

    const double start = boot_time_seconds() + static_cast<double>(stat.get<unsigned long long>(kStartTime)) /
                                                   static_cast<double>(clock_ticks());
    kp.ki_start.tv_sec = static_cast<time_t>(start);
    kp.ki_start.tv_usec = static_cast<suseconds_t>((start - static_cast<double>(kp.ki_start.tv_sec)) * 1e6);

    // The resident count of stat is the host's quick estimate, which may lag
    // by a per-CPU batch; status carries the exact sum.
    kp.ki_rssize = kib_as_pages(status.number<long>(S::kVmRSS));
    kp.ki_tsize = kib_as_pages(status.number<long>(S::kVmExe));
    kp.ki_dsize = kib_as_pages(status.number<long>(S::kVmData));
    kp.ki_ssize = kib_as_pages(status.number<long>(S::kVmStk));

    std::uint32_t ids[4] = {};
    status.numbers(S::kUid, ids, 4);
    kp.ki_ruid = ids[0];
    kp.ki_uid = ids[1];
    kp.ki_svuid = ids[2];
    std::uint32_t gids[4] = {};
    status.numbers(S::kGid, gids, 4);
    kp.ki_rgid = gids[0];
    kp.ki_svgid = gids[2];
    // As on FreeBSD, the first entry of the group list is the effective group.
    kp.ki_groups[0] = gids[1];
    kp.ki_ngroups =
        static_cast<short>(1 + status.numbers(S::kGroups, kp.ki_groups + 1, freebsd::KI_NGROUPS - 1));

    kp.ki_rusage.ru_nvcsw = status.number<long>(S::kVoluntary);
    kp.ki_rusage.ru_nivcsw = status.number<long>(S::kNonvoluntary);
    kp.ki_rusage.ru_maxrss = status.number<long>(S::kVmHWM);

    kp.ki_childtime =
        ticks_to_timeval(take_usage(stat, kCutime, kCstime, kCminflt, kCmajflt, kp.ki_rusage_ch));
    return 0;
}

int add_block_counts(int dir, kinfo_proc& kp) {
    // As the host's getrusage(2) makes them: bytes moved to or from storage
    // in 512-byte units. Unreadable for other users' processes, absent from
    // a kernel without I/O accounting: zeros then. Any other failure is the
    // host's, and fails the record.
    FileText io_file;
    if (int err = io_file.read_at(dir, "io"); err != 0) return skip_if_gone_or_refused(err);
    long bytes = 0;
    if (leading_numbers(key_value(io_file.view(), "read_bytes"), &bytes, 1) == 1)
        kp.ki_rusage.ru_inblock = bytes / 512;
    if (leading_numbers(key_value(io_file.view(), "write_bytes"), &bytes, 1) == 1)
        kp.ki_rusage.ru_oublock = bytes / 512;
    return 0;
}

int list_thread_ids(int dir, std::vector<int>& tids) {
    tids.clear();
    Fd task(::openat(dir, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!task.valid()) return process_refusal(errno);
    return process_refusal(list_numbered_entries(task.get(), tids));
}

int fill_thread_record(int dir, int tid, kinfo_proc& kp) {
    char rel[48];
    std::snprintf(rel, sizeof rel, "task/%d/stat", tid);
    FileText text;
    if (int err = text.read_at(dir, rel); err != 0) return process_refusal(err);
    StatLine stat;
    if (!stat.parse(text.view())) return ESRCH;
    kp.ki_tid = tid;
    apply_stat_times(stat, kp);
    // Only the thread's CPU times and faults are its own; the host keeps no
    // per-thread block counts, and its switch counts need another file.
    kp.ki_rusage.ru_nvcsw = kp.ki_rusage.ru_nivcsw = 0;
    kp.ki_rusage.ru_inblock = kp.ki_rusage.ru_oublock = 0;
    return 0;
}

int list_process_ids(std::vector<int>& pids) {
    pids.clear();
    Fd proc = open_host("proc", O_RDONLY | O_DIRECTORY);
    if (!proc.valid()) return errno;
    return list_numbered_entries(proc.get(), pids);
}

}  // namespace compat
