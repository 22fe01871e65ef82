// The stand-in's process records read from captured /proc trees written by
// the test: every field a record takes from stat, status and io, the state
// letters, names with spaces and parentheses, malformed and truncated files,
// long files, vanished processes and a process whose main thread has ended.
#include "linux/proc_records.h"

#include "captured_tree.h"
#include "freebsd/base.h"
#include "script/script.h"

// FreeBSD's names, taken before the host's headers can rewrite them.
namespace {
using KinfoProc = freebsd::kinfo_proc;
constexpr std::uint64_t kNodev = freebsd::NODEV;
constexpr int kNocpu = freebsd::NOCPU;
constexpr long kSystem = freebsd::P_SYSTEM;
constexpr long kKproc = freebsd::P_KPROC;
constexpr long kInmem = freebsd::P_INMEM;
constexpr long kControlt = freebsd::P_CONTROLT;
constexpr long kTraced = freebsd::P_TRACED;
}  // namespace

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const long kHz = sysconf(_SC_CLK_TCK);
const long kPageKib = sysconf(_SC_PAGESIZE) / 1024;

// The fields of a stat line after the name, by their index there (the
// field's number in proc(5) minus 3).
std::string stat_line(int pid, const std::string& comm, std::map<int, std::string> fields, int count = 50) {
    std::string line = std::to_string(pid) + " (" + comm + ")";
    for (int i = 0; i < count; ++i) {
        auto it = fields.find(i);
        line.push_back(' ');
        line += it != fields.end() ? it->second : std::string(i == 0 ? "S" : "0");
    }
    return line + "\n";
}

std::string status_text(int tgid, const std::string& extra = "") {
    return "Name:\tx\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t" + std::to_string(tgid) +
           "\nNgid:\t0\nPid:\t" + std::to_string(tgid) +
           "\nPPid:\t1\nTracerPid:\t0\nUid:\t1000\t1001\t1002\t1003\nGid:\t4294967294\t2001\t2002\t2003\n"
           "FDSize:\t64\nGroups:\t10 11 \nVmPeak:\t 9000 kB\nVmSize:\t 8000 kB\nVmHWM:\t 700 kB\n"
           "VmRSS:\t 400 kB\nVmData:\t 800 kB\nVmStk:\t 132 kB\nVmExe:\t 40 kB\nThreads:\t1\n" +
           extra + "voluntary_ctxt_switches:\t9\nnonvoluntary_ctxt_switches:\t4\n";
}

class CapturedProc : public CapturedTreeTest {
protected:
    void SetUp() override {
        CapturedTreeTest::SetUp();
        use_as_root();
    }
    void write(int pid, const std::string& name, const std::string& text) {
        write_file(fs::path("proc") / std::to_string(pid) / name, text);
    }
    // A process of the usual shape: stat, status and io.
    void process(int pid, std::map<int, std::string> fields = {}, const std::string& comm = "a b) c") {
        write(pid, "stat", stat_line(pid, comm, std::move(fields)));
        write(pid, "status", status_text(pid));
        write(pid, "io",
              "rchar: 1\nwchar: 2\nsyscr: 3\nsyscw: 4\nread_bytes: 5120\nwrite_bytes: 1536\n"
              "cancelled_write_bytes: 0\n");
    }
    // The record through the stand-in's sysctl, as the module asks for it.
    int lookup(int pid, KinfoProc& kp) {
        int mib[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID, pid};
        std::size_t len = sizeof kp;
        std::memset(&kp, 0x5a, sizeof kp);
        if (freebsd::sysctl(mib, 4, &kp, &len, nullptr, 0) != 0) return errno;
        EXPECT_EQ(len, sizeof kp);
        return 0;
    }
};

double boot_seconds() {
    timespec real{}, boot{};
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_BOOTTIME, &boot);
    return static_cast<double>(real.tv_sec - boot.tv_sec) + (real.tv_nsec - boot.tv_nsec) / 1e9;
}

TEST_F(CapturedProc, EveryFieldOfTheRecord) {
    process(4242, {{0, "S"},
                   {1, "77"},
                   {2, "4242"},
                   {3, "4000"},
                   {4, "34816"},
                   {5, "4300"},
                   {6, "4194560"},
                   {7, "11"},
                   {8, "12"},
                   {9, "13"},
                   {10, "14"},
                   {11, std::to_string(kHz * 5 / 2)},
                   {12, std::to_string(kHz)},
                   {13, std::to_string(kHz * 3)},
                   {14, std::to_string(kHz / 2)},
                   {16, "-3"},
                   {17, "1"},
                   {19, std::to_string(kHz * 10)},
                   {20, "8192000"},
                   {21, "1"},
                   {36, "3"}});
    KinfoProc kp;
    ASSERT_EQ(lookup(4242, kp), 0);
    EXPECT_EQ(kp.ki_structsize, 1088);
    EXPECT_EQ(kp.ki_pid, 4242);
    EXPECT_EQ(kp.ki_ppid, 77);
    EXPECT_EQ(kp.ki_pgid, 4242);
    EXPECT_EQ(kp.ki_sid, 4000);
    EXPECT_EQ(kp.ki_tpgid, 4300);
    EXPECT_STREQ(kp.ki_comm, "a b) c");
    EXPECT_EQ(kp.ki_stat, freebsd::SSLEEP);
    EXPECT_EQ(kp.ki_oncpu, kNocpu);
    EXPECT_EQ(kp.ki_lastcpu, 3);
    EXPECT_EQ(kp.ki_nice, -3);
    EXPECT_EQ(kp.ki_numthreads, 1);
    // tty_nr 34816 is major 136, minor 0: the terminal's device number.
    EXPECT_EQ(kp.ki_tdev, makedev(136, 0));
    EXPECT_EQ(kp.ki_flag, kInmem | kControlt);
    EXPECT_EQ(kp.ki_ruid, 1000u);
    EXPECT_EQ(kp.ki_uid, 1001u);
    EXPECT_EQ(kp.ki_svuid, 1002u);
    EXPECT_EQ(kp.ki_rgid, 4294967294u);
    EXPECT_EQ(kp.ki_groups[0], 2001u);
    EXPECT_EQ(kp.ki_svgid, 2002u);
    EXPECT_EQ(kp.ki_ngroups, 3);
    EXPECT_EQ(kp.ki_groups[1], 10u);
    EXPECT_EQ(kp.ki_groups[2], 11u);
    EXPECT_EQ(kp.ki_size, 8192000u);
    EXPECT_EQ(kp.ki_rssize, 400 / kPageKib);
    EXPECT_EQ(kp.ki_tsize, 40 / kPageKib);
    EXPECT_EQ(kp.ki_dsize, 800 / kPageKib);
    EXPECT_EQ(kp.ki_ssize, 132 / kPageKib);
    EXPECT_EQ(kp.ki_rusage.ru_utime.tv_sec, 2);
    EXPECT_EQ(kp.ki_rusage.ru_utime.tv_usec, 500000);
    EXPECT_EQ(kp.ki_rusage.ru_stime.tv_sec, 1);
    EXPECT_EQ(kp.ki_rusage.ru_stime.tv_usec, 0);
    EXPECT_EQ(kp.ki_rusage_ch.ru_utime.tv_sec, 3);
    EXPECT_EQ(kp.ki_rusage_ch.ru_stime.tv_usec, 500000);
    EXPECT_EQ(kp.ki_rusage.ru_minflt, 11);
    EXPECT_EQ(kp.ki_rusage.ru_majflt, 13);
    EXPECT_EQ(kp.ki_rusage_ch.ru_minflt, 12);
    EXPECT_EQ(kp.ki_rusage.ru_nvcsw, 9);
    EXPECT_EQ(kp.ki_rusage.ru_nivcsw, 4);
    EXPECT_EQ(kp.ki_rusage.ru_maxrss, 700);
    EXPECT_EQ(kp.ki_rusage.ru_inblock, 10);
    EXPECT_EQ(kp.ki_rusage.ru_oublock, 3);
    EXPECT_EQ(kp.ki_runtime, 3500000u);
    const double start = kp.ki_start.tv_sec + kp.ki_start.tv_usec / 1e6;
    EXPECT_NEAR(start, boot_seconds() + 10.0, 0.01);
    EXPECT_GE(kp.ki_start.tv_usec, 0);
    EXPECT_LT(kp.ki_start.tv_usec, 1000000);
    // The same process asked again starts at the same moment.
    KinfoProc again;
    ASSERT_EQ(lookup(4242, again), 0);
    EXPECT_EQ(again.ki_start.tv_sec, kp.ki_start.tv_sec);
    EXPECT_EQ(again.ki_start.tv_usec, kp.ki_start.tv_usec);
}

TEST_F(CapturedProc, StateLetters) {
    const std::map<char, char> table = {
        {'R', freebsd::SRUN},   {'S', freebsd::SSLEEP}, {'D', freebsd::SSLEEP}, {'I', freebsd::SSLEEP},
        {'P', freebsd::SSLEEP}, {'W', freebsd::SRUN},   {'T', freebsd::SSTOP},  {'t', freebsd::SSTOP},
        {'Z', freebsd::SZOMB},  {'X', freebsd::SZOMB},  {'K', freebsd::SSLEEP}, {'?', freebsd::SSLEEP},
    };
    int pid = 5000;
    for (auto [letter, state] : table) {
        process(++pid, {{0, std::string(1, letter)}, {17, "1"}, {36, "6"}});
        KinfoProc kp;
        ASSERT_EQ(lookup(pid, kp), 0) << letter;
        EXPECT_EQ(kp.ki_stat, state) << letter;
        EXPECT_EQ(compat::state_from_letter(letter), state) << letter;
        EXPECT_EQ(kp.ki_lastcpu, 6);
        // Only a runnable process is on a CPU now.
        EXPECT_EQ(kp.ki_oncpu, state == freebsd::SRUN ? 6 : kNocpu) << letter;
    }
}

TEST_F(CapturedProc, KernelThreadWithoutTerminalTracedProcess) {
    process(2, {{6, std::to_string(0x00200040)}, {4, "0"}});
    KinfoProc kp;
    ASSERT_EQ(lookup(2, kp), 0);
    EXPECT_EQ(kp.ki_flag, kInmem | kSystem | kKproc);
    EXPECT_EQ(kp.ki_tdev, kNodev);
    EXPECT_EQ(kp.ki_tsid, 0);

    process(3);
    write(3, "status", status_text(3, "TracerPid:\t99\n"));
    ASSERT_EQ(lookup(3, kp), 0);
    // The first TracerPid line counts (the status text above has one of 0 first).
    EXPECT_EQ(kp.ki_tracer, 0);
    write(3, "status", "Tgid:\t3\nTracerPid:\t99\n");
    ASSERT_EQ(lookup(3, kp), 0);
    EXPECT_EQ(kp.ki_tracer, 99);
    EXPECT_EQ(kp.ki_flag & kTraced, kTraced);
}

TEST_F(CapturedProc, MalformedStatIsNoProcess) {
    KinfoProc kp;
    write(10, "stat", "10 (no closing parenthesis S 1 2 3\n");
    write(10, "status", status_text(10));
    EXPECT_EQ(lookup(10, kp), ESRCH);
    write(11, "stat", stat_line(11, "short", {}, 20));  // ends before the CPU field
    write(11, "status", status_text(11));
    EXPECT_EQ(lookup(11, kp), ESRCH);
    write(12, "stat", "");
    write(12, "status", status_text(12));
    EXPECT_EQ(lookup(12, kp), ESRCH);
    std::string reversed = stat_line(13, "x", {});
    reversed[3] = ')';
    reversed[5] = '(';  // "13 )x( S ...": the name is never closed
    write(13, "stat", reversed);
    write(13, "status", status_text(13));
    EXPECT_EQ(lookup(13, kp), ESRCH);
}

TEST_F(CapturedProc, NamesWithParenthesesSpacesAndNumbers) {
    const std::string names[] = {"a b) c", ") 1 2 3 (", "((x))", "", "R 1 2"};
    int pid = 300;
    for (const auto& name : names) {
        process(++pid, {{1, "42"}}, name);
        KinfoProc kp;
        ASSERT_EQ(lookup(pid, kp), 0) << name;
        EXPECT_EQ(std::string(kp.ki_comm), name);
        EXPECT_EQ(kp.ki_ppid, 42) << name;
        EXPECT_EQ(kp.ki_stat, freebsd::SSLEEP) << name;
    }
    // A name longer than the record's field is cut, and terminated.
    process(++pid, {}, "abcdefghijklmnopqrstuvwxyz");
    KinfoProc kp;
    ASSERT_EQ(lookup(pid, kp), 0);
    EXPECT_EQ(std::string(kp.ki_comm), "abcdefghijklmnopqrs");
}

TEST_F(CapturedProc, MalformedStatusLinesReadAsZero) {
    process(20);
    write(20, "status",
          "Tgid:\t20\nUid:\tabc\tdef\nGid:\nGroups:\nVmRSS:\t-\nno colon here\n:\t\n"
          "voluntary_ctxt_switches:\t99999999999999999999999\n");
    KinfoProc kp;
    ASSERT_EQ(lookup(20, kp), 0);
    EXPECT_EQ(kp.ki_ruid, 0u);
    EXPECT_EQ(kp.ki_uid, 0u);
    EXPECT_EQ(kp.ki_rssize, 0);
    EXPECT_EQ(kp.ki_ngroups, 1);
    EXPECT_EQ(kp.ki_rusage.ru_nvcsw, 0);
}

TEST_F(CapturedProc, LongStatusBeyondTheFixedBuffer) {
    process(21);
    std::string filler;
    for (int i = 0; i < 400; ++i)
        filler += "Filler" + std::to_string(i) + ":\t" + std::string(20, 'f') + "\n";
    write(21, "status", "Name:\tx\n" + filler + status_text(21));
    KinfoProc kp;
    ASSERT_EQ(lookup(21, kp), 0);
    EXPECT_EQ(kp.ki_uid, 1001u);
    EXPECT_EQ(kp.ki_rusage.ru_nivcsw, 4);
}

TEST_F(CapturedProc, ThreadIdIsNoProcess) {
    // /proc/<tid> answers for a thread, whose Tgid names its process.
    process(31);
    write(31, "status", status_text(30));
    KinfoProc kp;
    EXPECT_EQ(lookup(31, kp), ESRCH);
}

TEST_F(CapturedProc, VanishedProcess) {
    KinfoProc kp;
    EXPECT_EQ(lookup(40, kp), ESRCH);  // no folder at all
    fs::create_directories(root_ / "proc" / "41");
    EXPECT_EQ(lookup(41, kp), ESRCH);  // gone between listing and reading
    write(42, "stat", stat_line(42, "x", {}));
    EXPECT_EQ(lookup(42, kp), ESRCH);  // its status went before it could be read
    process(43);
    fs::remove(root_ / "proc" / "43" / "io");
    ASSERT_EQ(lookup(43, kp), 0);  // the block counts alone may be unreadable
    EXPECT_EQ(kp.ki_rusage.ru_inblock, 0);
    EXPECT_EQ(lookup(-1, kp), ESRCH);
    EXPECT_EQ(lookup(0, kp), ESRCH);
}

TEST_F(CapturedProc, TableSkipsWhatVanished) {
    process(50);
    process(51);
    fs::create_directories(root_ / "proc" / "52");
    fs::create_directories(root_ / "proc" / "self");
    fs::create_directories(root_ / "proc" / "53x");
    int mib[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PROC, 0};
    std::size_t len = 0;
    ASSERT_EQ(freebsd::sysctl(mib, 4, nullptr, &len, nullptr, 0), 0);
    EXPECT_GE(len, 2 * sizeof(KinfoProc));
    std::vector<KinfoProc> records(len / sizeof(KinfoProc));
    ASSERT_EQ(freebsd::sysctl(mib, 4, records.data(), &len, nullptr, 0), 0);
    ASSERT_EQ(len, 2 * sizeof(KinfoProc));
    std::set<int> pids = {records[0].ki_pid, records[1].ki_pid};
    EXPECT_EQ(pids, (std::set<int>{50, 51}));
}

// A table large enough to be built on several threads: each record the
// same as the process's own lookup, in the listing's order, without the
// processes that vanished.
TEST_F(CapturedProc, LargeTableMatchesEachLookupInOrder) {
    std::vector<int> expected;
    for (int pid = 100; pid < 400; ++pid) {
        if (pid % 7 == 0) {
            fs::create_directories(root_ / "proc" / std::to_string(pid));  // gone meanwhile
            continue;
        }
        process(
            pid,
            {{1, std::to_string(pid / 2)}, {11, std::to_string(pid * 3)}, {20, std::to_string(pid << 12)}},
            std::string("p").append(std::to_string(pid)));
        expected.push_back(pid);
    }
    int mib[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PROC, 0};
    std::size_t len = 0;
    ASSERT_EQ(freebsd::sysctl(mib, 4, nullptr, &len, nullptr, 0), 0);
    std::vector<KinfoProc> records(len / sizeof(KinfoProc));
    ASSERT_EQ(freebsd::sysctl(mib, 4, records.data(), &len, nullptr, 0), 0);
    ASSERT_EQ(len, expected.size() * sizeof(KinfoProc));
    // The listing's order is the folder's (ascending on the host, any order
    // in a captured tree).
    std::vector<int> in_folder_order;
    for (const auto& entry : fs::directory_iterator(root_ / "proc")) {
        const int pid = std::stoi(entry.path().filename().string());
        if (std::binary_search(expected.begin(), expected.end(), pid)) in_folder_order.push_back(pid);
    }
    for (std::size_t i = 0; i < in_folder_order.size(); ++i) {
        const int pid = in_folder_order[i];
        ASSERT_EQ(records[i].ki_pid, pid) << i;
        KinfoProc own;
        ASSERT_EQ(lookup(pid, own), 0);
        EXPECT_EQ(records[i].ki_ppid, pid / 2);
        EXPECT_EQ(std::string(records[i].ki_comm), std::string("p").append(std::to_string(pid)));
        // The start time is computed from a boot time that may be measured
        // again between the two reads; all else is the same bytes.
        own.ki_start = records[i].ki_start;
        EXPECT_EQ(std::memcmp(&own, &records[i], sizeof own), 0) << pid;
    }
}

TEST_F(CapturedProc, MainThreadEndedWhileOthersRun) {
    // The host keeps the exited main thread as a zombie that holds no memory
    // (no Vm lines, vsize 0); the first thread still running (62) answers
    // for the process, whose times stay the whole process's.
    process(60, {{0, "Z"}, {11, std::to_string(5 * kHz)}, {17, "3"}, {36, "0"}});
    write(60, "status",
          "Name:\tx\nState:\tZ (zombie)\nTgid:\t60\nUid:\t1000\t1000\t1000\t1000\n"
          "Gid:\t100\t100\t100\t100\nThreads:\t3\n");
    write(60, "task/60/stat", stat_line(60, "x", {{0, "Z"}, {36, "0"}}));
    write(60, "task/61/stat", stat_line(61, "x", {{0, "Z"}, {36, "1"}}));
    write(60, "task/62/stat", stat_line(62, "worker", {{0, "R"}, {20, "123456789"}, {36, "1"}}));
    write(60, "task/62/status", status_text(60));
    KinfoProc kp;
    ASSERT_EQ(lookup(60, kp), 0);
    EXPECT_EQ(kp.ki_stat, freebsd::SRUN);
    EXPECT_EQ(kp.ki_oncpu, 1);
    EXPECT_EQ(kp.ki_numthreads, 2);
    EXPECT_EQ(kp.ki_tid, 62);
    EXPECT_STREQ(kp.ki_tdname, "worker");
    EXPECT_EQ(kp.ki_size, 123456789u);
    EXPECT_EQ(kp.ki_rssize, 400 / kPageKib);
    EXPECT_EQ(kp.ki_dsize, 800 / kPageKib);
    EXPECT_EQ(kp.ki_uid, 1001u);
    EXPECT_EQ(kp.ki_rusage.ru_utime.tv_sec, 5);

    // Its thread table lists the threads that run, without the exited ones.
    int mib[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC,
                  freebsd::KERN_PROC_PID | freebsd::KERN_PROC_INC_THREAD, 60};
    KinfoProc threads[8];
    std::size_t len = sizeof threads;
    ASSERT_EQ(freebsd::sysctl(mib, 4, threads, &len, nullptr, 0), 0);
    ASSERT_EQ(len, sizeof(KinfoProc));
    EXPECT_EQ(threads[0].ki_tid, 62);

    // A real zombie has no thread left but its main one.
    process(70, {{0, "Z"}, {17, "1"}});
    ASSERT_EQ(lookup(70, kp), 0);
    EXPECT_EQ(kp.ki_stat, freebsd::SZOMB);
    EXPECT_EQ(kp.ki_numthreads, 1);
    len = sizeof threads;
    mib[3] = 70;
    write(70, "task/70/stat", stat_line(70, "x", {{0, "Z"}}));
    ASSERT_EQ(freebsd::sysctl(mib, 4, threads, &len, nullptr, 0), 0);
    EXPECT_EQ(len, sizeof(KinfoProc));
}

TEST_F(CapturedProc, SizeAnswerAndShortBuffer) {
    process(80);
    int mib[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID, 80};
    std::size_t len = 0;
    ASSERT_EQ(freebsd::sysctl(mib, 4, nullptr, &len, nullptr, 0), 0);
    EXPECT_EQ(len, sizeof(KinfoProc));
    char part[100];
    len = sizeof part;
    EXPECT_EQ(freebsd::sysctl(mib, 4, part, &len, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    mib[3] = 81;
    len = 0;
    EXPECT_EQ(freebsd::sysctl(mib, 4, nullptr, &len, nullptr, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

}  // namespace
