// Host sources, per field, are listed in docs/linux-mapping.md.
#include "proc_records.h"

#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "freebsd/sys/proc.h"

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

// Wall-clock time of boot, from the distance between the two clocks now.
double boot_time_seconds() {
    ::timespec real{}, boot{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    return static_cast<double>(real.tv_sec - boot.tv_sec) +
           static_cast<double>(real.tv_nsec - boot.tv_nsec) / 1e9;
}

template <typename T>
bool to_number(std::string_view text, T& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end != text.data();
}

// The space-separated fields of /proc/<pid>/stat after the command name.
struct StatLine {
    std::string_view comm;
    std::string_view fields[52];
    int count = 0;

    bool parse(std::string_view text) {
        auto open = text.find('(');
        auto close = text.rfind(')');
        if (open == std::string_view::npos || close == std::string_view::npos || close < open)
            return false;
        comm = text.substr(open + 1, close - open - 1);
        std::string_view rest = text.substr(close + 1);
        count = 0;
        while (count < 52) {
            auto start = rest.find_first_not_of(" \n");
            if (start == std::string_view::npos) break;
            rest.remove_prefix(start);
            auto end = rest.find_first_of(" \n");
            fields[count++] = rest.substr(0, end);
            if (end == std::string_view::npos) break;
            rest.remove_prefix(end);
        }
        return count >= 37;  // up to the processor field
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
    kState = 0, kPpid = 1, kPgrp = 2, kSession = 3, kTtyNr = 4, kTpgid = 5, kFlags = 6,
    kMinflt = 7, kCminflt = 8, kMajflt = 9, kCmajflt = 10, kUtime = 11, kStime = 12,
    kCutime = 13, kCstime = 14, kNice = 16, kNumThreads = 17, kStartTime = 19, kVsize = 20,
    kRss = 21, kProcessor = 36,
};

// The value after "Key:" in /proc/<pid>/status, or empty.
std::string_view status_value(std::string_view text, std::string_view key) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        auto eol = text.find('\n', pos);
        std::string_view line = text.substr(pos, eol == std::string_view::npos ? eol : eol - pos);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == ':')
            return line.substr(key.size() + 1);
        if (eol == std::string_view::npos) break;
        pos = eol + 1;
    }
    return {};
}

// Up to n whitespace-separated numbers of a status value.
template <typename T>
int status_numbers(std::string_view value, T* out, int n) {
    int got = 0;
    while (got < n) {
        auto start = value.find_first_not_of(" \t");
        if (start == std::string_view::npos) break;
        value.remove_prefix(start);
        auto end = value.find_first_of(" \t");
        if (!to_number(value.substr(0, end), out[got])) break;
        ++got;
        if (end == std::string_view::npos) break;
        value.remove_prefix(end);
    }
    return got;
}

long status_kib_as_pages(std::string_view status, std::string_view key) {
    long kib = 0;
    status_numbers(status_value(status, key), &kib, 1);
    return kib / page_kib();
}

// Linux's tty_nr packs major and minor one way, dev_t another; report the
// dev_t the terminal's device node has (what stat(2) shows as st_rdev).
std::uint64_t tty_to_dev(unsigned long long tty_nr) {
    if (tty_nr == 0) return freebsd::NODEV;
    const std::uint64_t major = (tty_nr >> 8) & 0xfff;
    const std::uint64_t minor = (tty_nr & 0xff) | ((tty_nr >> 12) & 0xfff00);
    return ((major & 0xfffff000ULL) << 32) | ((major & 0xfffULL) << 8) |
           ((minor & 0xffffff00ULL) << 12) | (minor & 0xffULL);
}

int gone(int err) { return err == ENOENT || err == ESRCH ? ESRCH : err; }

void copy_name(char* dst, std::size_t size, std::string_view name) {
    std::size_t n = name.size() < size - 1 ? name.size() : size - 1;
    std::memcpy(dst, name.data(), n);
    dst[n] = '\0';
}

// Thread-level facts shared by process and thread records.
void apply_stat_times(const StatLine& stat, kinfo_proc& kp) {
    kp.ki_stat = state_from_letter(stat.fields[kState].empty() ? '?' : stat.fields[kState][0]);
    const int cpu = stat.get<int>(kProcessor);
    kp.ki_lastcpu = cpu;
    kp.ki_oncpu = kp.ki_stat == freebsd::SRUN ? cpu : freebsd::NOCPU;
    kp.ki_oncpu_old = static_cast<std::uint8_t>(kp.ki_oncpu < 0 || kp.ki_oncpu > 254 ? 255 : kp.ki_oncpu);
    kp.ki_lastcpu_old = static_cast<std::uint8_t>(cpu > 254 ? 255 : cpu);
    const auto utime = stat.get<unsigned long long>(kUtime);
    const auto stime = stat.get<unsigned long long>(kStime);
    kp.ki_rusage.ru_utime = ticks_to_timeval(utime);
    kp.ki_rusage.ru_stime = ticks_to_timeval(stime);
    kp.ki_rusage.ru_minflt = stat.get<long>(kMinflt);
    kp.ki_rusage.ru_majflt = stat.get<long>(kMajflt);
    kp.ki_runtime = (utime + stime) * 1000000ULL / static_cast<unsigned long long>(clock_ticks());
    copy_name(kp.ki_tdname, sizeof kp.ki_tdname, stat.comm);
}

}  // namespace

char state_from_letter(char letter) {
    switch (letter) {
        case 'R': return freebsd::SRUN;
        case 'S': return freebsd::SSLEEP;  // interruptible sleep
        case 'D': return freebsd::SSLEEP;  // uninterruptible sleep
        case 'I': return freebsd::SSLEEP;  // idle kernel thread
        case 'P': return freebsd::SSLEEP;  // parked kernel thread
        case 'W': return freebsd::SRUN;    // waking
        case 'T': return freebsd::SSTOP;   // stopped by a signal
        case 't': return freebsd::SSTOP;   // stopped by a tracer
        case 'Z': return freebsd::SZOMB;
        case 'X': return freebsd::SZOMB;   // dead, being reaped
        default: return freebsd::SSLEEP;
    }
}

int open_process_dir(int pid, Fd& dir) {
    if (pid <= 0) return ESRCH;
    char rel[32];
    std::snprintf(rel, sizeof rel, "proc/%d", pid);
    dir = open_host(rel, O_RDONLY | O_DIRECTORY);
    return dir.valid() ? 0 : gone(errno);
}

int fill_process_record(int dir, int pid, kinfo_proc& kp) {
    std::string stat_text, status_text, io_text;
    if (int err = read_file_at(dir, "stat", stat_text); err != 0) return gone(err);
    if (int err = read_file_at(dir, "status", status_text); err != 0) return gone(err);
    StatLine stat;
    if (!stat.parse(stat_text)) return ESRCH;

    // /proc/<tid> answers for threads too; a thread is not a process.
    int tgid = 0;
    status_numbers(status_value(status_text, "Tgid"), &tgid, 1);
    if (tgid != pid) return ESRCH;

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

    long flags = freebsd::P_INMEM;
    if (stat.get<unsigned long>(kFlags) & kLinuxKernelThread) flags |= freebsd::P_SYSTEM | freebsd::P_KPROC;
    if (tty_nr != 0) flags |= freebsd::P_CONTROLT;
    int tracer = 0;
    status_numbers(status_value(status_text, "TracerPid"), &tracer, 1);
    if (tracer != 0) flags |= freebsd::P_TRACED;
    kp.ki_flag = flags;
    kp.ki_tracer = tracer;

    kp.ki_nice = static_cast<signed char>(stat.get<int>(kNice));
    kp.ki_numthreads = stat.get<int>(kNumThreads);

    const double start = boot_time_seconds() + static_cast<double>(stat.get<unsigned long long>(kStartTime)) /
                                                   static_cast<double>(clock_ticks());
    kp.ki_start.tv_sec = static_cast<time_t>(start);
    kp.ki_start.tv_usec = static_cast<suseconds_t>((start - static_cast<double>(kp.ki_start.tv_sec)) * 1e6);

    kp.ki_size = stat.get<std::uint64_t>(kVsize);
    kp.ki_rssize = stat.get<long>(kRss);
    kp.ki_tsize = status_kib_as_pages(status_text, "VmExe");
    kp.ki_dsize = status_kib_as_pages(status_text, "VmData");
    kp.ki_ssize = status_kib_as_pages(status_text, "VmStk");

    std::uint32_t ids[4] = {};
    status_numbers(status_value(status_text, "Uid"), ids, 4);
    kp.ki_ruid = ids[0];
    kp.ki_uid = ids[1];
    kp.ki_svuid = ids[2];
    std::uint32_t gids[4] = {};
    status_numbers(status_value(status_text, "Gid"), gids, 4);
    kp.ki_rgid = gids[0];
    kp.ki_svgid = gids[2];
    // As on FreeBSD, the first entry of the group list is the effective group.
    kp.ki_groups[0] = gids[1];
    kp.ki_ngroups = static_cast<short>(
        1 + status_numbers(status_value(status_text, "Groups"), kp.ki_groups + 1, freebsd::KI_NGROUPS - 1));

    status_numbers(status_value(status_text, "voluntary_ctxt_switches"), &kp.ki_rusage.ru_nvcsw, 1);
    status_numbers(status_value(status_text, "nonvoluntary_ctxt_switches"), &kp.ki_rusage.ru_nivcsw, 1);
    status_numbers(status_value(status_text, "VmHWM"), &kp.ki_rusage.ru_maxrss, 1);

    // Block counts as the host's getrusage(2) makes them: bytes moved to or
    // from storage in 512-byte units. Unreadable for other users' processes.
    if (read_file_at(dir, "io", io_text) == 0) {
        long bytes = 0;
        if (status_numbers(status_value(io_text, "read_bytes"), &bytes, 1) == 1) kp.ki_rusage.ru_inblock = bytes / 512;
        if (status_numbers(status_value(io_text, "write_bytes"), &bytes, 1) == 1) kp.ki_rusage.ru_oublock = bytes / 512;
    }

    const auto cutime = stat.get<unsigned long long>(kCutime);
    const auto cstime = stat.get<unsigned long long>(kCstime);
    kp.ki_rusage_ch.ru_utime = ticks_to_timeval(cutime);
    kp.ki_rusage_ch.ru_stime = ticks_to_timeval(cstime);
    kp.ki_rusage_ch.ru_minflt = stat.get<long>(kCminflt);
    kp.ki_rusage_ch.ru_majflt = stat.get<long>(kCmajflt);
    kp.ki_childtime = ticks_to_timeval(cutime + cstime);
    return 0;
}

int fill_thread_record(int dir, int tid, kinfo_proc& kp) {
    char rel[48];
    std::snprintf(rel, sizeof rel, "task/%d/stat", tid);
    std::string text;
    if (int err = read_file_at(dir, rel, text); err != 0) return gone(err);
    StatLine stat;
    if (!stat.parse(text)) return ESRCH;
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
    DIR* dir = ::fdopendir(proc.get());
    if (dir == nullptr) return errno;
    proc.release();  // owned by dir now
    while (dirent* entry = ::readdir(dir)) {
        int pid = 0;
        std::string_view name(entry->d_name);
        auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (ec == std::errc() && end == name.data() + name.size() && pid > 0) pids.push_back(pid);
    }
    ::closedir(dir);
    return 0;
}

}  // namespace compat
