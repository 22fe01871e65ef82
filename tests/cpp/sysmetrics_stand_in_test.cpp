// The stand-in's CPU and memory answers on captured host trees: machines this
// one is not (an offline CPU in the middle, SMT siblings, cpufreq, swap).
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "captured_tree.h"
#include "freebsd/kvm.h"
#include "freebsd/malloc_np.h"
#include "freebsd/sys/sysctl.h"
#include "freebsd/sys/time.h"
#include "linux/glibc_tunables.h"

namespace {

using freebsd::sysctlbyname;

class SysmetricsTree : public CapturedTreeTest {
protected:
    template <typename T>
    std::vector<T> read_all(const char* name) {
        std::size_t len = 0;
        EXPECT_EQ(sysctlbyname(name, nullptr, &len, nullptr, 0), 0) << name;
        std::vector<T> out(len / sizeof(T));
        EXPECT_EQ(sysctlbyname(name, out.data(), &len, nullptr, 0), 0) << name;
        return out;
    }
    int errno_of(const char* name, void* buf, std::size_t len) {
        errno = 0;
        return sysctlbyname(name, buf, &len, nullptr, 0) == -1 ? errno : 0;
    }
    long ticks(long jiffies) { return jiffies * 128 / ::sysconf(_SC_CLK_TCK); }
};

// CPU 1 is offline: /proc/stat lists cpu0 and cpu2 only.
TEST_F(SysmetricsTree, AnOfflineCpuKeepsAZeroRowAndTheCountIsOfOnlineCpus) {
    write_file("proc/stat",
               "cpu  300 30 600 9000 100 40 20 7 0 0\n"
               "cpu0 100 10 200 3000 50 20 10 3 0 0\n"
               "cpu2 200 20 400 6000 50 20 10 4 0 0\n"
               "ctxt 4294967301\nbtime 1700000000\nsoftirq 77 1 2\nintr 99 3 4\n");
    write_file("sys/devices/system/cpu/online", "0,2\n");
    use_as_root();

    EXPECT_EQ(read_all<int>("hw.ncpu"), std::vector<int>{2});
    const auto rows = read_all<long>("kern.cp_times");
    ASSERT_EQ(rows.size(), 15u);
    // user, nice, system, irq+softirq, idle+iowait; steal left out
    EXPECT_EQ(std::vector<long>(rows.begin(), rows.begin() + 5),
              (std::vector<long>{ticks(100), ticks(10), ticks(200), ticks(30), ticks(3050)}));
    EXPECT_EQ(std::vector<long>(rows.begin() + 5, rows.begin() + 10), std::vector<long>(5, 0));
    EXPECT_EQ(rows[10], ticks(200));
    const auto all = read_all<long>("kern.cp_time");
    EXPECT_EQ(all, (std::vector<long>{ticks(300), ticks(30), ticks(600), ticks(60), ticks(9100)}));
    EXPECT_EQ(read_all<long>("kern.boottime")[0], 1700000000);
}

// CPUs the firmware lists but that were never started (present, not online)
// leave zero rows after the last enabled one; hw.ncpu counts the enabled.
TEST_F(SysmetricsTree, PresentCpusThatAreNotOnlineKeepZeroRowsAfterTheLast) {
    write_file("proc/stat",
               "cpu  300 0 0 0 0 0 0 0 0 0\ncpu0 100 0 0 0 0 0 0 0 0 0\ncpu1 200 0 0 0 0 0 0 0 0 0\n");
    write_file("sys/devices/system/cpu/online", "0-1\n");
    write_file("sys/devices/system/cpu/present", "0-3\n");
    use_as_root();
    EXPECT_EQ(read_all<int>("hw.ncpu"), std::vector<int>{2});
    const auto rows = read_all<long>("kern.cp_times");
    ASSERT_EQ(rows.size(), 20u);
    EXPECT_EQ(rows[0], ticks(100));
    EXPECT_EQ(rows[5], ticks(200));
    EXPECT_EQ(std::vector<long>(rows.begin() + 10, rows.end()), std::vector<long>(10, 0));
    // The highest id is fixed, as FreeBSD's mp_maxid is from boot on.
    write_file("sys/devices/system/cpu/present", "0-1\n");
    EXPECT_EQ(read_all<long>("kern.cp_times").size(), 20u);
}

// A present list that is no list fails the node rather than guess.
TEST_F(SysmetricsTree, APresentListThatIsNoListFailsTheTickRows) {
    write_file("proc/stat", "cpu  1 0 0 0 0 0 0 0 0 0\ncpu0 1 0 0 0 0 0 0 0 0 0\n");
    write_file("sys/devices/system/cpu/online", "0\n");
    write_file("sys/devices/system/cpu/present", "0-x\n");
    use_as_root();
    char buf[256];
    EXPECT_EQ(errno_of("kern.cp_times", buf, sizeof buf), EIO);
}

// The tick counters' rate, by name and by number, is the one they are in:
// three seconds of host jiffies are three seconds of statistics ticks.
TEST_F(SysmetricsTree, TheClockRateIsTheRateOfTheTickCounters) {
    const long hz = ::sysconf(_SC_CLK_TCK);
    write_file("proc/stat",
               "cpu  " + std::to_string(3 * hz) + " 0 0 " + std::to_string(5 * hz) + " 0 0 0 0 0 0\n");
    use_as_root();
    freebsd::clockinfo info{};
    std::size_t len = sizeof info;
    int mib[2] = {freebsd::CTL_KERN, freebsd::KERN_CLOCKRATE};
    ASSERT_EQ(freebsd::sysctl(mib, 2, &info, &len, nullptr, 0), 0);
    EXPECT_EQ(len, 20u);
    const auto by_name = read_all<int>("kern.clockrate");
    ASSERT_EQ(by_name.size(), 5u);
    EXPECT_EQ(by_name[3], info.stathz);
    EXPECT_EQ(info.hz * info.tick, 1000000);
    EXPECT_EQ(info.profhz, 64 * info.stathz);
    const auto all = read_all<long>("kern.cp_time");
    EXPECT_EQ(all[freebsd::CP_USER], 3L * info.stathz);
    EXPECT_EQ(all[freebsd::CP_IDLE], 5L * info.stathz);
}

// A machine of one CPU: the bare root group, sharing nothing, whatever
// caches the CPU has.
TEST_F(SysmetricsTree, TopologyOfOneCpuIsTheRootGroupAlone) {
    write_file("sys/devices/system/cpu/online", "0\n");
    const std::string dir = "sys/devices/system/cpu/cpu0/";
    write_file(dir + "topology/physical_package_id", "0\n");
    write_file(dir + "topology/thread_siblings_list", "0\n");
    for (int level = 1; level <= 3; ++level) {
        const std::string index = dir + "cache/index" + std::to_string(level) + "/";
        write_file(index + "level", std::to_string(level) + "\n");
        write_file(index + "type", level == 1 ? "Data\n" : "Unified\n");
        write_file(index + "shared_cpu_list", "0\n");
    }
    use_as_root();
    const auto text = read_all<char>("kern.sched.topology_spec");
    EXPECT_EQ(std::string(text.data()),
              "<groups>\n <group level=\"1\" cache-level=\"0\">\n  <cpu count=\"1\" "
              "mask=\"1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\">0</cpu>\n </group>\n</groups>\n");
}

// Lists the host never writes: out of order and repeated ids count once and
// keep the table in id order; an id beyond any host's limit is no list, and
// a tick row labelled beyond it is no CPU (no table of a billion rows).
TEST_F(SysmetricsTree, OnlineListsOutOfOrderOrBeyondTheLimit) {
    write_file("proc/stat",
               "cpu  1 0 0 0 0 0 0 0 0 0\ncpu1 1 0 0 0 0 0 0 0 0 0\ncpu3 2 0 0 0 0 0 0 0 0 0\n"
               "cpu8192 5 0 0 0 0 0 0 0 0 0\ncpu1793093023 5 0 0 0 0 0 0 0 0 0\n");
    write_file("sys/devices/system/cpu/online", "3,1,1\n");
    use_as_root();
    EXPECT_EQ(read_all<int>("hw.ncpu"), std::vector<int>{2});
    const auto rows = read_all<long>("kern.cp_times");
    ASSERT_EQ(rows.size(), 20u);
    EXPECT_EQ(rows[15], ticks(2));
    EXPECT_FALSE(read_all<char>("kern.sched.topology_spec").empty());

    char buf[64];
    for (const char* list : {"0-8192\n", "0,99999\n", "0-2147483647\n"}) {
        write_file("sys/devices/system/cpu/online", list);
        EXPECT_EQ(errno_of("hw.ncpu", buf, sizeof buf), EIO) << list;
        EXPECT_EQ(errno_of("kern.sched.topology_spec", buf, sizeof buf), EIO) << list;
    }
}

TEST_F(SysmetricsTree, EventCountersAnswerAllBitsOrTheLowHalfForAFourByteRead) {
    write_file("proc/stat", "cpu  1 1 1 1 1 1 1 1 0 0\nctxt 4294967301\nintr 99 3 4\nsoftirq 77 1 2\n");
    write_file("proc/vmstat", "pgfault 12345\n");
    use_as_root();
    std::uint64_t wide = 0;
    std::uint32_t narrow = 0;
    std::uint16_t tiny = 0;
    EXPECT_EQ(errno_of("vm.stats.sys.v_swtch", &wide, 8), 0);
    EXPECT_EQ(wide, 4294967301u);
    EXPECT_EQ(errno_of("vm.stats.sys.v_swtch", &narrow, 4), 0);
    EXPECT_EQ(narrow, 5u);
    EXPECT_EQ(errno_of("vm.stats.sys.v_swtch", &tiny, 2), ENOMEM);
    EXPECT_EQ(errno_of("vm.stats.sys.v_intr", &narrow, 4), 0);
    EXPECT_EQ(narrow, 99u);
    EXPECT_EQ(errno_of("vm.stats.sys.v_soft", &narrow, 4), 0);
    EXPECT_EQ(narrow, 77u);
    EXPECT_EQ(errno_of("vm.stats.sys.v_trap", &narrow, 4), 0);
    EXPECT_EQ(narrow, 12345u);
    // A counter the host does not keep is 0, not a failure.
    write_file("proc/stat", "cpu  1 1 1 1 1 1 1 1 0 0\n");
    EXPECT_EQ(errno_of("vm.stats.sys.v_soft", &narrow, 4), 0);
    EXPECT_EQ(narrow, 0u);
}

TEST_F(SysmetricsTree, CpufreqNodesExistOnlyWhereTheHostHasADriver) {
    write_file("sys/devices/system/cpu/cpu3/cpufreq/scaling_cur_freq", "2394000\n");
    write_file("sys/devices/system/cpu/cpu3/cpufreq/scaling_available_frequencies",
               "800000 2400000 1600000 \n");
    write_file("sys/devices/system/cpu/cpu5/topology/core_id", "5\n");  // a CPU without a driver
    use_as_root();
    int mhz = 0;
    EXPECT_EQ(errno_of("dev.cpu.3.freq", &mhz, sizeof mhz), 0);
    EXPECT_EQ(mhz, 2394);
    char levels[64] = {};
    for (const char* name : {"dev.cpu.5.freq", "dev.cpu.5.freq_levels"})
        EXPECT_EQ(errno_of(name, levels, sizeof levels), ENOENT) << name;
    for (const char* name :
         {"dev.cpu.0.freq", "dev.cpu.-1.freq", "dev.cpu.x.freq", "dev.cpu.3", "dev.cpu.3.freq.1"})
        EXPECT_EQ(errno_of(name, &mhz, sizeof mhz), ENOENT) << name;
}

// Every CPU with a frequency driver has its levels, as cpufreq makes both
// nodes: a driver with a table lists it highest first, one without (the
// hardware P-state drivers) gets a made-up level at the hardware's highest.
TEST_F(SysmetricsTree, FrequencyLevelsOfEachKindOfDriver) {
    struct Row {
        const char* driver;
        std::vector<std::pair<const char*, const char*>> files;  // cpufreq/NAME, its text
        const char* levels;
    };
    const Row rows[] = {
        {"acpi-cpufreq",
         {{"scaling_available_frequencies", "2200000 1800000 1400000 \n"},
          {"cpuinfo_max_freq", "2200000\n"},
          {"scaling_max_freq", "2200000\n"}},
         "2200/-1 1800/-1 1400/-1"},
        {"intel_pstate",
         {{"cpuinfo_max_freq", "4700000\n"},
          {"scaling_max_freq", "3900000\n"},
          {"base_frequency", "2100000\n"}},
         "4700/-1"},
        {"amd-pstate", {{"cpuinfo_max_freq", "4208000\n"}, {"scaling_max_freq", "4208000\n"}}, "4208/-1"},
        {"amd-pstate-epp", {{"scaling_max_freq", "3500000\n"}}, "3500/-1"},
        {"cppc_cpufreq", {}, "0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.driver);
        std::filesystem::remove_all(root_ / "sys");
        write_file("sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq", "1200000\n");
        write_file("sys/devices/system/cpu/cpu0/cpufreq/scaling_driver", std::string(row.driver) + "\n");
        for (const auto& [name, text] : row.files)
            write_file(std::string("sys/devices/system/cpu/cpu0/cpufreq/") + name, text);
        use_as_root();
        char levels[128] = {};
        ASSERT_EQ(errno_of("dev.cpu.0.freq_levels", levels, sizeof levels), 0);
        EXPECT_STREQ(levels, row.levels);
        int mhz = 0;
        EXPECT_EQ(errno_of("dev.cpu.0.freq", &mhz, sizeof mhz), 0);
        EXPECT_EQ(mhz, 1200);
        norvik_script_reset();
    }
}

// Two packages of two cores with two threads each; L2 per core, L3 per package.
TEST_F(SysmetricsTree, TopologyGroupsByPackageAndSharedCacheWithSmtFlags) {
    write_file("sys/devices/system/cpu/online", "0-7\n");
    for (int cpu = 0; cpu < 8; ++cpu) {
        const std::string dir = "sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/";
        const int core = cpu / 2, package = cpu / 4;
        const std::string core_list = std::to_string(core * 2) + "-" + std::to_string(core * 2 + 1);
        const std::string package_list = std::to_string(package * 4) + "-" + std::to_string(package * 4 + 3);
        write_file(dir + "topology/physical_package_id", std::to_string(package) + "\n");
        write_file(dir + "topology/thread_siblings_list", core_list + "\n");
        const char* types[] = {"Data", "Instruction", "Unified", "Unified"};
        const int levels[] = {1, 1, 2, 3};
        for (int i = 0; i < 4; ++i) {
            const std::string index = dir + "cache/index" + std::to_string(i) + "/";
            write_file(index + "level", std::to_string(levels[i]) + "\n");
            write_file(index + "type", std::string(types[i]) + "\n");
            write_file(index + "shared_cpu_list", (levels[i] == 3 ? package_list : core_list) + "\n");
        }
    }
    use_as_root();
    const auto text = read_all<char>("kern.sched.topology_spec");
    const std::string xml(text.data());
    EXPECT_NE(xml.find(" <group level=\"1\" cache-level=\"0\">\n  <cpu count=\"8\" "
                       "mask=\"ff,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\">"
                       "0, 1, 2, 3, 4, 5, 6, 7</cpu>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("   <group level=\"2\" cache-level=\"3\">\n    <cpu count=\"4\" mask=\"f0,"),
              std::string::npos)
        << xml;
    EXPECT_NE(
        xml.find(
            "     <group level=\"3\" cache-level=\"2\">\n      <cpu count=\"2\" mask=\"c0,0,0,0,0,0,0,0,0,"
            "0,0,0,0,0,0,0\">6, 7</cpu>\n      <flags><flag name=\"THREAD\">"),
        std::string::npos)
        << xml;
    EXPECT_EQ(xml.find("level=\"4\""), std::string::npos) << xml;
}

// As libkvm: device records while there is room below the summary, the
// summary (empty name) at the index returned.
TEST_F(SysmetricsTree, SwapInfoTotalsEveryDeviceInPages) {
    write_file("proc/swaps",
               "Filename\tType\tSize\tUsed\tPriority\n"
               "/dev/sda2 partition\t1048576\t4096\t-2\n"
               "/var/tmp/a.swap file\t65532\t0\t-3\n");
    use_as_root();
    freebsd::kvm_t* kd = freebsd::kvm_open(nullptr, "/dev/null", nullptr, 0, "test");
    ASSERT_NE(kd, nullptr);
    const unsigned kib_per_page = static_cast<unsigned>(::sysconf(_SC_PAGESIZE) / 1024);
    const unsigned sda2 = 1048576u / kib_per_page, file = 65532u / kib_per_page;
    struct Case {
        int maxswap, flags, returned;
        std::vector<std::string> names;  // the device records, then the summary's
    };
    const Case cases[] = {
        {1, 0, 0, {""}},
        {2, 0, 1, {"sda2", ""}},
        {3, 0, 2, {"sda2", "/var/tmp/a.swap", ""}},
        {5, freebsd::SWIF_DEV_PREFIX, 2, {"/dev/sda2", "/var/tmp/a.swap", ""}},
    };
    for (const Case& c : cases) {
        freebsd::kvm_swap sw[5];
        std::memset(sw, 0x55, sizeof sw);
        ASSERT_EQ(freebsd::kvm_getswapinfo(kd, sw, c.maxswap, c.flags), c.returned) << c.maxswap;
        for (int i = 0; i <= c.returned; ++i)
            EXPECT_STREQ(sw[i].ksw_devname, c.names[i].c_str()) << c.maxswap;
        EXPECT_EQ(sw[c.returned].ksw_total, sda2 + file);
        EXPECT_EQ(sw[c.returned].ksw_used, 4096u / kib_per_page);
        if (c.returned > 0) {
            EXPECT_EQ(sw[0].ksw_total, sda2);
            EXPECT_EQ(sw[0].ksw_used, 4096u / kib_per_page);
        }
        if (c.returned > 1) {
            EXPECT_EQ(sw[1].ksw_total, file);
        }
        // Nothing is written past the summary.
        if (c.maxswap < 5) {
            EXPECT_EQ(sw[c.returned + 1].ksw_used, 0x55555555u);
        }
    }
    freebsd::kvm_swap sw[1];
    EXPECT_EQ(freebsd::kvm_getswapinfo(kd, sw, 0, 0), -1);
    freebsd::kvm_close(kd);
}

// glibc runs without a thread cache when the environment it started with
// set tcache_count to 0 (the last setting of a tunable wins); the allocator
// control then answers a flush as jemalloc does for a thread without one.
TEST(GlibcTunables, ACountOfZeroTurnsTheThreadCacheOff) {
    using namespace std::string_literals;
    struct Case {
        std::string block;
        bool off;
    };
    const Case cases[] = {
        {"PATH=/bin\0GLIBC_TUNABLES=glibc.malloc.tcache_count=0\0"s, true},
        {"GLIBC_TUNABLES=glibc.malloc.check=3:glibc.malloc.tcache_count=0"s, true},
        {"GLIBC_TUNABLES=glibc.malloc.tcache_count=0:glibc.malloc.tcache_count=7\0"s, false},
        {"GLIBC_TUNABLES=glibc.malloc.tcache_count=7\0"s, false},
        {"GLIBC_TUNABLES=glibc.malloc.tcache_max=0\0"s, false},
        {"XGLIBC_TUNABLES=glibc.malloc.tcache_count=0\0"s, false},
        {"GLIBC_TUNABLES=glibc.malloc.tcache_count=\0"s, false},
        {""s, false},
    };
    for (const Case& c : cases) EXPECT_EQ(compat::glibc_tcache_off(c.block), c.off) << c.block;
    // This test's own process keeps glibc's cache: the flush succeeds.
    if (!compat::host_thread_cache_off()) {
        EXPECT_EQ(freebsd::mallctl("thread.tcache.flush", nullptr, nullptr, nullptr, 0), 0);
    }
}

// As libkvm's _kvm_open: the running kernel through /dev/null or /dev/mem;
// anything else is a crash dump, refused with libkvm's reason in the error
// buffer (kvm_openfiles) or behind the caller's prefix on standard error
// (kvm_open).
class KvmOpenTest : public CapturedTreeTest {};

TEST_F(KvmOpenTest, RefusesWhatIsNoRunningKernelWithLibkvmsReason) {
    write_file("empty.core", "");
    write_file("vmcore.0", "not a dump the stand-in reads");
    write_file("kernel.txt", "not an ELF file");
    const std::string empty = (root_ / "empty.core").string();
    const std::string core = (root_ / "vmcore.0").string();
    const std::string text_kernel = (root_ / "kernel.txt").string();
    const std::string long_name(freebsd::MAXPATHLEN, 'k');
    struct Case {
        const char* name;
        const char* execfile;
        const char* corefile;
        int flags;
        const char* refusal;  // nullptr: a handle on the running kernel
    };
    const Case cases[] = {
        {"live through /dev/null", nullptr, "/dev/null", 0, nullptr},
        {"live, read and write asked", nullptr, "/dev/null", 2, nullptr},
        {"missing core", nullptr, "/nonexistent/vmcore.1", 0,
         "/nonexistent/vmcore.1: No such file or directory"},
        {"empty core", nullptr, empty.c_str(), 0, "empty file: Invalid argument"},
        {"dump without its kernel", "/nonexistent/kernel", core.c_str(), 0,
         "/nonexistent/kernel: No such file or directory"},
        {"another device is a dump", "/nonexistent/kernel", "/dev/zero", 0,
         "/nonexistent/kernel: No such file or directory"},
        {"kernel not ELF", text_kernel.c_str(), core.c_str(), 0, "kernel is not an ELF file"},
        {"dump of no known kind", "/proc/self/exe", core.c_str(), 0, "unsupported architecture"},
        {"bad flags", nullptr, "/dev/null", 0x0200, "bad flags arg"},
        {"kernel name too long", long_name.c_str(), "/dev/null", 0, "exec file name too long"},
    };
    for (const Case& c : cases) {
        char errbuf[2048] = {};  // libkvm's _POSIX2_LINE_MAX
        freebsd::kvm_t* kd = freebsd::kvm_openfiles(c.execfile, c.corefile, nullptr, c.flags, errbuf);
        freebsd::kvm_t* by_open = freebsd::kvm_open(c.execfile, c.corefile, nullptr, c.flags, nullptr);
        if (c.refusal == nullptr) {
            EXPECT_NE(kd, nullptr) << c.name << ": " << errbuf;
            EXPECT_NE(by_open, nullptr) << c.name;
        } else {
            EXPECT_EQ(kd, nullptr) << c.name;
            EXPECT_STREQ(errbuf, c.refusal) << c.name;
            EXPECT_EQ(by_open, nullptr) << c.name;
        }
        if (kd != nullptr) freebsd::kvm_close(kd);
        if (by_open != nullptr) freebsd::kvm_close(by_open);
    }
}

TEST(KvmGeterr, NoHandleHasAnEmptyText) {
    const char* text = freebsd::kvm_geterr(nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    errno = 0;
    EXPECT_EQ(freebsd::kvm_close(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
