// Only the absence of what is asked about means "gone": in captured /proc
// trees a file that is missing leaves a process, thread, descriptor or
// table out, while a file the host can't read for another reason (here a
// folder where a file belongs, which fails the read with EISDIR as a host
// out of descriptors fails it with EMFILE) fails the node or call whole.
#include "freebsd/base.h"
#include "captured_tree.h"
#include "linux/host_failure.h"
#include "script/script.h"

namespace {
using KinfoProc = freebsd::kinfo_proc;
using KinfoFile = freebsd::kinfo_file;
using KinfoVmentry = freebsd::kinfo_vmentry;
constexpr int kKernProc = freebsd::KERN_PROC;
constexpr int kCtlKern = freebsd::CTL_KERN;
}  // namespace

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Freed {
    void operator()(void* p) const { std::free(p); }
};

// A stat line: the state, the thread count (field 20), zeros elsewhere.
std::string stat_line(int pid, char state = 'S', int threads = 1) {
    std::string line = std::to_string(pid) + " (p" + std::to_string(pid) + ") " + state;
    for (int i = 1; i < 50; ++i) line += i == 17 ? " " + std::to_string(threads) : std::string(" 0");
    return line + "\n";
}

std::string status_text(int pid) {
    return "Name:\tp\nTgid:\t" + std::to_string(pid) + "\nUid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\n";
}

const char kTcpHeader[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

class HostFailure : public CapturedTreeTest {
protected:
    void SetUp() override {
        CapturedTreeTest::SetUp();
        use_as_root();
    }
    fs::path dir(int pid) { return fs::path("proc") / std::to_string(pid); }
    void process(int pid) {
        write_file(dir(pid) / "stat", stat_line(pid));
        write_file(dir(pid) / "status", status_text(pid));
        write_file(dir(pid) / "io", "read_bytes: 1024\nwrite_bytes: 512\n");
        write_file(dir(pid) / "task" / std::to_string(pid) / "stat", stat_line(pid));
    }
    // A folder where the host has a file: reading it fails, and not because
    // anything has gone.
    void unreadable(const fs::path& rel) {
        fs::remove_all(root_ / rel);
        fs::create_directories(root_ / rel);
    }
    void link(int pid, const std::string& name, const std::string& target) {
        fs::create_directories((root_ / dir(pid) / name).parent_path());
        fs::create_symlink(target, root_ / dir(pid) / name);
    }
};

TEST(HostFailureRule, OnlyAbsenceIsGone) {
    using compat::HostFailure;
    struct Case {
        int err;
        HostFailure kind;
        int as_process;  // what a read of one process's file answers
        int in_walk;     // what a walk does with the entry: 0 leaves it out
    } cases[] = {
        {0, HostFailure::none, 0, 0},
        {ENOENT, HostFailure::gone, ESRCH, 0},
        {ESRCH, HostFailure::gone, ESRCH, 0},
        {EACCES, HostFailure::refused, EPERM, EACCES},
        {EPERM, HostFailure::refused, EPERM, EPERM},
        {EMFILE, HostFailure::failed, EMFILE, EMFILE},
        {ENFILE, HostFailure::failed, ENFILE, ENFILE},
        {ENOMEM, HostFailure::failed, ENOMEM, ENOMEM},
        {EAGAIN, HostFailure::failed, EAGAIN, EAGAIN},
        {EIO, HostFailure::failed, EIO, EIO},
        {EISDIR, HostFailure::failed, EISDIR, EISDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        EXPECT_EQ(compat::classify_host_failure(c.err), c.kind);
        EXPECT_EQ(compat::process_refusal(c.err), c.err == 0 ? 0 : c.as_process);
        EXPECT_EQ(compat::skip_if_gone(c.err), c.in_walk);
        EXPECT_EQ(compat::skip_if_gone_or_refused(c.err), c.kind == HostFailure::failed ? c.err : 0);
    }
}

TEST_F(HostFailure, ProcessTableLeavesOutTheGoneAndFailsOnTheUnreadable) {
    for (int pid = 60; pid < 100; ++pid) process(pid);
    fs::remove_all(root_ / dir(70));     // ended between the listing and the read
    fs::remove(root_ / dir(71) / "io");  // a kernel without I/O accounting
    std::string out;
    ASSERT_EQ(read_sysctl({kCtlKern, kKernProc, freebsd::KERN_PROC_PROC, 0}, out), 0);
    EXPECT_EQ(out.size(), 39 * sizeof(KinfoProc));

    unreadable(dir(90) / "status");
    EXPECT_EQ(read_sysctl({kCtlKern, kKernProc, freebsd::KERN_PROC_PROC, 0}, out), EISDIR);
    EXPECT_EQ(read_sysctl({kCtlKern, kKernProc, freebsd::KERN_PROC_PID, 90}, out), EISDIR);
    process(90);
    unreadable(dir(91) / "io");  // not refused, not absent: the record fails
    EXPECT_EQ(read_sysctl({kCtlKern, kKernProc, freebsd::KERN_PROC_PID, 91}, out), EISDIR);
    EXPECT_EQ(read_sysctl({kCtlKern, kKernProc, freebsd::KERN_PROC_PROC, 0}, out), EISDIR);
}

TEST_F(HostFailure, ThreadTableLeavesOutEndedThreadsOnly) {
    process(120);
    write_file(dir(120) / "task" / "121" / "stat", stat_line(121));
    fs::create_directories(root_ / dir(120) / "task" / "122");  // ended meanwhile
    const std::vector<int> mib = {kCtlKern, kKernProc, freebsd::KERN_PROC_PID | freebsd::KERN_PROC_INC_THREAD,
                                  120};
    std::string out;
    ASSERT_EQ(read_sysctl(mib, out), 0);
    EXPECT_EQ(out.size(), 2 * sizeof(KinfoProc));
    unreadable(dir(120) / "task" / "121" / "stat");
    EXPECT_EQ(read_sysctl(mib, out), EISDIR);
}

TEST_F(HostFailure, ZombieMainThreadWithUnreadableThreadsFails) {
    write_file(dir(130) / "stat", stat_line(130, 'Z', 2));
    write_file(dir(130) / "status", status_text(130));
    write_file(dir(130) / "task" / "130" / "stat", stat_line(130, 'Z'));
    unreadable(dir(130) / "task" / "131" / "stat");
    std::string out;
    EXPECT_EQ(read_sysctl({kCtlKern, kKernProc, freebsd::KERN_PROC_PID, 130}, out), EISDIR);
}

TEST_F(HostFailure, ExecutablePathOfAnUnreadableProcessIsNoAnswer) {
    process(140);  // no exe link: the state tells a zombie from a kernel thread
    std::string out;
    EXPECT_EQ(read_sysctl({kCtlKern, kKernProc, freebsd::KERN_PROC_PATHNAME, 140}, out), ENOENT);
    unreadable(dir(140) / "stat");
    EXPECT_EQ(read_sysctl({kCtlKern, kKernProc, freebsd::KERN_PROC_PATHNAME, 140}, out), EISDIR);
}

TEST_F(HostFailure, SocketListsFailOnAnUnreadableTableAndSkipAnAbsentOne) {
    write_file("proc/net/tcp", std::string(kTcpHeader) +
                                   "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 "
                                   "00000000     0        0 111 1 0 100 0 0 10 0\n");
    std::string out;
    ASSERT_EQ(read_sysctl("net.inet.tcp.pcblist", out), 0);  // no tcp6 table: an IPv4-only host
    EXPECT_GT(out.size(), 0u);
    unreadable("proc/net/tcp6");
    EXPECT_EQ(read_sysctl("net.inet.tcp.pcblist", out), EISDIR);
}

TEST_F(HostFailure, OpenFileTableLeavesOutTheGoneAndFailsOnTheUnreadable) {
    process(150);
    link(150, "fd/0", "/dev/null");
    link(150, "fd/3", "socket:[111]");
    process(151);
    fs::create_directories(root_ / dir(151) / "fd");
    process(152);  // no fd folder: ended meanwhile
    std::string out;
    ASSERT_EQ(read_sysctl("kern.file", out), 0);
    EXPECT_EQ(out.size(), 2 * sizeof(freebsd::xfile));
    // A folder the listing can't open as one is no process that has gone.
    fs::remove_all(root_ / dir(151) / "fd");
    write_file(dir(151) / "fd", "");
    EXPECT_EQ(read_sysctl("kern.file", out), ENOTDIR);
}

TEST_F(HostFailure, DescriptorTableFailsOnAnUnreadableSocketTable) {
    process(160);
    link(160, "cwd", "/");
    link(160, "fd/3", "socket:[111]");
    int count = -1;
    std::unique_ptr<KinfoFile, Freed> files(freebsd::kinfo_getfile(160, &count));
    ASSERT_NE(files, nullptr);  // no socket tables at all: the socket stays unknown
    EXPECT_EQ(count, 2);
    unreadable(dir(160) / "net" / "unix");
    files.reset(freebsd::kinfo_getfile(160, &count));
    EXPECT_EQ(files, nullptr);
    EXPECT_EQ(errno, EISDIR);
}

TEST_F(HostFailure, MappingsOfAnUnreadableProcessAreNoEmptyTable) {
    process(170);
    write_file(dir(170) / "smaps", "");  // a kernel thread: no mappings
    int count = -1;
    std::unique_ptr<KinfoVmentry, Freed> maps(freebsd::kinfo_getvmmap(170, &count));
    ASSERT_NE(maps, nullptr);
    EXPECT_EQ(count, 0);
    unreadable(dir(170) / "stat");
    maps.reset(freebsd::kinfo_getvmmap(170, &count));
    EXPECT_EQ(maps, nullptr);
    EXPECT_EQ(errno, EISDIR);
}

// ---- memory that runs out inside a call --------------------------------------

// An exported call and the scripted key that makes it run out of memory.
// `call` makes the call and reports whether it failed (its failure value),
// leaving errno as the call left it.
struct ExhaustedCall {
    const char* name;
    std::string key;
    std::function<bool()> call;
};

void PrintTo(const ExhaustedCall& c, std::ostream* os) { *os << c.name; }

const int kSelf = static_cast<int>(::getpid());

std::vector<ExhaustedCall> exhausted_calls() {
    const std::string self = std::to_string(kSelf);
    return {
        {"sysctl", "hw.ncpu",
         [] {
             int mib[2] = {freebsd::CTL_HW, freebsd::HW_NCPU};
             int value = 0;
             std::size_t len = sizeof value;
             return freebsd::sysctl(mib, 2, &value, &len, nullptr, 0) == -1;
         }},
        {"sysctlbyname", "hw.ncpu",
         [] {
             std::size_t len = 0;
             return freebsd::sysctlbyname("hw.ncpu", nullptr, &len, nullptr, 0) == -1;
         }},
        {"kinfo_getfile", "kinfo_getfile." + self,
         [] {
             int count = 0;
             std::unique_ptr<KinfoFile, Freed> files(freebsd::kinfo_getfile(kSelf, &count));
             return files == nullptr;
         }},
        {"kinfo_getvmmap", "kinfo_getvmmap." + self,
         [] {
             int count = 0;
             std::unique_ptr<KinfoVmentry, Freed> maps(freebsd::kinfo_getvmmap(kSelf, &count));
             return maps == nullptr;
         }},
        {"kvm_openfiles", "kvm_openfiles",
         [] {
             char errbuf[2048] = {};
             freebsd::kvm_t* kd = freebsd::kvm_openfiles(nullptr, "/dev/null", nullptr, 0, errbuf);
             if (kd != nullptr) freebsd::kvm_close(kd);
             const int err = errno;
             const bool said = std::strcmp(errbuf, "kvm_openfiles: Cannot allocate memory") == 0;
             errno = err;
             return kd == nullptr && said;
         }},
        {"kvm_open", "kvm_open",
         [] {
             freebsd::kvm_t* kd = freebsd::kvm_open(nullptr, "/dev/null", nullptr, 0, nullptr);
             if (kd != nullptr) freebsd::kvm_close(kd);
             return kd == nullptr;
         }},
        {"kvm_getprocs", "kvm_getprocs." + self,
         [] {
             freebsd::kvm_t* kd = freebsd::kvm_openfiles(nullptr, "/dev/null", nullptr, 0, nullptr);
             if (kd == nullptr) return false;
             int count = 0;
             const bool failed = freebsd::kvm_getprocs(kd, freebsd::KERN_PROC_PID, kSelf, &count) == nullptr;
             const int err = errno;
             const bool said =
                 std::strcmp(freebsd::kvm_geterr(kd), "kvm_getprocs: Cannot allocate memory") == 0;
             freebsd::kvm_close(kd);
             errno = err;
             return failed && said;
         }},
        {"kvm_getenvv", "kvm_getenvv." + self,
         [] {
             freebsd::kvm_t* kd = freebsd::kvm_openfiles(nullptr, "/dev/null", nullptr, 0, nullptr);
             if (kd == nullptr) return false;
             KinfoProc kp{};
             kp.ki_pid = kSelf;
             const bool failed = freebsd::kvm_getenvv(kd, &kp, 0) == nullptr;
             const int err = errno;
             freebsd::kvm_close(kd);
             errno = err;
             return failed;
         }},
        {"kvm_getswapinfo", "kvm_getswapinfo",
         [] {
             freebsd::kvm_t* kd = freebsd::kvm_open(nullptr, "/dev/null", nullptr, 0, nullptr);
             if (kd == nullptr) return false;
             freebsd::kvm_swap sw[2];
             const bool failed = freebsd::kvm_getswapinfo(kd, sw, 2, 0) == -1;
             const int err = errno;
             freebsd::kvm_close(kd);
             errno = err;
             return failed;
         }},
        {"devstat_checkversion", "devstat_checkversion.0",
         [] { return freebsd::devstat_checkversion(nullptr) == -1; }},
        {"devstat_getdevs", "devstat_getdevs.0",
         [] {
             freebsd::devinfo info{};
             freebsd::statinfo stats{};
             stats.dinfo = &info;
             return freebsd::devstat_getdevs(nullptr, &stats) == -1 && info.mem_ptr == nullptr;
         }},
        {"getfsstat", "getfsstat.0",
         [] { return freebsd::getfsstat(nullptr, 0, freebsd::MNT_NOWAIT) == -1; }},
        {"getifaddrs", "getifaddrs",
         [] {
             freebsd::ifaddrs* list = nullptr;
             return freebsd::getifaddrs(&list) == -1 && list == nullptr;
         }},
        {"cpuset_getaffinity", "cpuset_getaffinity." + self,
         [] {
             freebsd::cpuset_t mask{};
             return freebsd::cpuset_getaffinity(freebsd::CPU_LEVEL_WHICH, freebsd::CPU_WHICH_PID, kSelf,
                                                sizeof mask, &mask) == -1;
         }},
        {"cpuset_setaffinity", "cpuset_setaffinity." + self,
         [] {
             freebsd::cpuset_t mask{};
             return freebsd::cpuset_setaffinity(freebsd::CPU_LEVEL_WHICH, freebsd::CPU_WHICH_PID, kSelf,
                                                sizeof mask, &mask) == -1;
         }},
        {"getpriority", "getpriority." + self,
         [] { return freebsd::getpriority(freebsd::PRIO_PROCESS, kSelf) == -1; }},
        {"setpriority", "setpriority." + self,
         [] { return freebsd::setpriority(freebsd::PRIO_PROCESS, kSelf, 0) == -1; }},
        {"mallctl", "mallctl.epoch",
         [] {
             std::uint64_t epoch = 1;
             std::size_t len = sizeof epoch;
             const int err = freebsd::mallctl("epoch", &epoch, &len, &epoch, len);
             errno = err;
             return err != 0;
         }},
        {"getutxent", "getutxent.0",
         [] {
             freebsd::setutxent();
             errno = 0;
             const bool failed = freebsd::getutxent() == nullptr;
             const int err = errno;
             freebsd::endutxent();
             errno = err;
             return failed;
         }},
        {"socket", "socket", [] { return freebsd::socket(freebsd::AF_INET, freebsd::SOCK_DGRAM, 0) == -1; }},
        {"ioctl", "SIOCGIFMTU.lo",
         [] {
             freebsd::ifreq req{};
             std::strcpy(req.ifr_name, "lo");
             return freebsd::ioctl(-1, freebsd::SIOCGIFMTU, &req) == -1;
         }},
    };
}

class ExhaustedMemory : public ::testing::TestWithParam<ExhaustedCall> {
protected:
    void SetUp() override { norvik_script_reset(); }
    void TearDown() override { norvik_script_reset(); }
};

// Memory that runs out inside any exported call makes the call fail, as
// FreeBSD's calls fail, with errno ENOMEM: no exception reaches the
// caller, and the next call works again.
TEST_P(ExhaustedMemory, TheCallFailsWithEnomem) {
    const ExhaustedCall& c = GetParam();
    ASSERT_EQ(norvik_script_exhaust(c.key.c_str(), 1), 0);
    errno = 0;
    bool failed = false;
    EXPECT_NO_THROW(failed = c.call());
    const int err = errno;
    EXPECT_TRUE(failed);
    EXPECT_EQ(err, ENOMEM);
    EXPECT_EQ(norvik_script_count(c.key.c_str(), 0) + norvik_script_count(c.key.c_str(), 1) +
                  norvik_script_count(c.key.c_str(), 2) + norvik_script_count(c.key.c_str(), 3),
              1)
        << "the scripted key was not asked once";
}

INSTANTIATE_TEST_SUITE_P(EveryExportedCall, ExhaustedMemory, ::testing::ValuesIn(exhausted_calls()),
                         [](const ::testing::TestParamInfo<ExhaustedCall>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
