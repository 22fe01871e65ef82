// CPU count, CPU time ticks, boot time and the scheduler's event counters,
// from the host's /proc/stat, /proc/vmstat and /sys/devices/system/cpu/online.
//
// The stand-in's statistics clock ticks 128 times a second (FreeBSD's runs at
// the stathz of kern.clockrate, 127 on a typical amd64 machine, which is why
// readers take the rate from there); the host counts USER_HZ jiffies. Each
// answer converts the host's running total afresh (floor of
// jiffies * 128 / USER_HZ, in integers), so successive answers never go back
// and never drift. The host's columns map onto FreeBSD's five states as
//   CP_USER  user (guest time is already inside it on the host)
//   CP_NICE  nice (guest_nice likewise)
//   CP_SYS   system
//   CP_INTR  irq + softirq
//   CP_IDLE  idle + iowait
// Steal time (the hypervisor ran someone else) is left out. FreeBSD catches
// the ticks it missed up and charges them to whatever the CPU was doing when
// it was taken; the host gives only the total, not that state.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "linux/cpu_lists.h"
#include "linux/host_files.h"
#include "freebsd/sys/resource.h"
#include "freebsd/sys/time.h"
#include "linux/host_text.h"
#include "kern/nodes.h"

namespace compat {
namespace {

using Ticks = std::int64_t;  // FreeBSD's long

constexpr unsigned kStatHz = 128;  // the stand-in's statistics clock
constexpr int kHz = 1000;          // FreeBSD's default kern.hz
using Row = Ticks[freebsd::CPUSTATES];

// Host columns of a "cpu" line, in their order.
enum Column { kUser, kNice, kSystem, kIdle, kIowait, kIrq, kSoftirq, kSteal, kColumns = 10 };

std::uint64_t user_hz() {
    static const long hz = ::sysconf(_SC_CLK_TCK);
    return hz > 0 ? static_cast<std::uint64_t>(hz) : 100;
}

Ticks to_stat_ticks(unsigned long long jiffies) {
    const unsigned __int128 product = static_cast<unsigned __int128>(jiffies) * kStatHz;
    return static_cast<Ticks>(product / user_hz());
}

// Converts the numbers after a "cpu" or "cpuN" label into FreeBSD's row.
void convert_row(std::string_view numbers, Row& row) {
    unsigned long long col[kColumns] = {};
    leading_numbers(numbers, col, kColumns);
    row[freebsd::CP_USER] = to_stat_ticks(col[kUser]);
    row[freebsd::CP_NICE] = to_stat_ticks(col[kNice]);
    row[freebsd::CP_SYS] = to_stat_ticks(col[kSystem]);
    row[freebsd::CP_INTR] = to_stat_ticks(col[kIrq] + col[kSoftirq]);
    row[freebsd::CP_IDLE] = to_stat_ticks(col[kIdle] + col[kIowait]);
}

int read_stat(FileText& text) { return text.read_host("proc/stat"); }

// The highest CPU id the host lists as present, or -1 when it lists none
// (older hosts). FreeBSD fixes its highest id (mp_maxid) at boot, so the
// list is read once for each host root and kept. Returns 0 or an errno.
int highest_present_cpu(int& highest) {
    static std::mutex lock;
    static std::string root;
    static int kept = -1;
    std::lock_guard<std::mutex> guard(lock);
    if (root != host_root()) {
        std::vector<int> present;
        const int err = present_cpus(present);
        if (err != 0 && err != ENOENT) return err;
        kept = present.empty() ? -1 : present.back();
        root = host_root();
    }
    highest = kept;
    return 0;
}

}  // namespace

// hw.ncpu: the CPUs the host runs, as FreeBSD's count of started CPUs.
int read_hw_ncpu(NodeArgs, std::string& out) {
    std::vector<int> cpus;
    if (int err = online_cpus(cpus); err != 0) return err;
    append_value(out, static_cast<int>(cpus.size()));
    return 0;
}

// kern.clockrate: the rates the tick counters are in. The statistics clock
// is the stand-in's own; hz and profhz are what FreeBSD derives in its
// default one-shot timer mode (profhz = 64 * stathz).
int read_clockrate(NodeArgs, std::string& out) {
    freebsd::clockinfo info{};
    info.hz = kHz;
    info.tick = 1000000 / kHz;
    info.stathz = static_cast<int>(kStatHz);
    info.profhz = static_cast<int>(kStatHz) * 64;
    append_value(out, info);
    return 0;
}

// kern.cp_time: the ticks of all CPUs together.
int read_cp_time(NodeArgs, std::string& out) {
    FileText text;
    if (int err = read_stat(text); err != 0) return err;
    std::string_view rest = text.view();
    while (!rest.empty()) {
        std::string_view line = next_line(rest);
        std::string_view label = next_token(line);
        if (label != "cpu") continue;
        Row row;
        convert_row(line, row);
        append_value(out, row);
        return 0;
    }
    return ENOENT;
}

// kern.cp_times: one row per CPU id from 0 to the highest the firmware
// lists (FreeBSD's mp_maxid, read once), as FreeBSD keeps a row for every id
// up to it;
// a CPU the host has taken offline or never started (absent from /proc/stat)
// keeps a row of zeros, below the highest online CPU or after it, while
// hw.ncpu counts only the online ones. A row labelled past any CPU id a host
// can have is not a CPU and is skipped.
int read_cp_times(NodeArgs, std::string& out) {
    FileText text;
    if (int err = read_stat(text); err != 0) return err;
    std::vector<Ticks> rows;
    // Without a list of present CPUs (older hosts), the rows end at the
    // highest online one.
    int highest = -1;
    if (int err = highest_present_cpu(highest); err != 0) return err;
    if (highest >= 0) rows.resize((static_cast<std::size_t>(highest) + 1) * freebsd::CPUSTATES, 0);
    bool any_cpu = false;
    std::string_view rest = text.view();
    while (!rest.empty()) {
        std::string_view line = next_line(rest);
        std::string_view label = next_token(line);
        int id = 0;
        if (label.size() <= 3 || label.substr(0, 3) != "cpu" || !to_number(label.substr(3), id) || id < 0 ||
            id > kMaxCpuId)
            continue;
        any_cpu = true;
        const std::size_t need = (static_cast<std::size_t>(id) + 1) * freebsd::CPUSTATES;
        if (rows.size() < need) rows.resize(need, 0);
        Row row;
        convert_row(line, row);
        std::copy(row, row + freebsd::CPUSTATES, rows.begin() + static_cast<long>(need - freebsd::CPUSTATES));
    }
    if (!any_cpu) return ENOENT;
    out.append(reinterpret_cast<const char*>(rows.data()), rows.size() * sizeof(Ticks));
    return 0;
}

// kern.boottime: the host's own boot second ("btime"), which stays put
// between calls, unlike a boot moment derived from uptime and the clock.
int read_boottime(NodeArgs, std::string& out) {
    FileText text;
    if (int err = read_stat(text); err != 0) return err;
    const long long btime = key_number<long long>(text.view(), "btime", -1, ' ');
    if (btime < 0) return ENOENT;
    ::timeval tv{};
    tv.tv_sec = static_cast<time_t>(btime);
    append_value(out, tv);
    return 0;
}

// vm.stats.sys.*: FreeBSD's 64-bit event counters, each the first number
// after its key in a host "key value" file. An absent host line answers 0
// rather than failing the node.
namespace {
int host_counter(std::string_view rel, std::string_view key, std::string& out) {
    FileText text;
    if (int err = text.read_host(rel); err != 0) return err;
    append_value(out, key_number<std::uint64_t>(text.view(), key, 0, ' '));
    return 0;
}
}  // namespace

int read_v_swtch(NodeArgs, std::string& out) { return host_counter("proc/stat", "ctxt", out); }
// The first number of "intr" and "softirq" is the total over every source.
int read_v_intr(NodeArgs, std::string& out) { return host_counter("proc/stat", "intr", out); }
int read_v_soft(NodeArgs, std::string& out) { return host_counter("proc/stat", "softirq", out); }
// Traps: the host counts page faults (pgfault), the bulk of FreeBSD's traps;
// other exceptions are not counted, so this is a lower bound.
int read_v_trap(NodeArgs, std::string& out) { return host_counter("proc/vmstat", "pgfault", out); }

// System calls: the host keeps no count of them; 0.
int read_v_syscall(NodeArgs, std::string& out) {
    append_value(out, std::uint64_t{0});
    return 0;
}

}  // namespace compat
