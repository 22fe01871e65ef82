// The stand-in's disk names, sensor node names and the by-name form of nodes
// whose integer sits inside the name.
#include <errno.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "captured_tree.h"
#include "freebsd/devstat.h"
#include "freebsd/sys/mount.h"
#include "freebsd/sys/sysctl.h"
#include "linux/disk_names.h"
#include "script/script.h"

namespace {

struct NameCase {
    const char* linux_name;
    const char* name;
    int unit;
};

TEST(DiskNames, EveryLinuxFamilySplitsIntoADistinctKey) {
    const NameCase cases[] = {
        {"sda", "sd", 0},         {"sdb", "sd", 1},         {"sdz", "sd", 25},
        {"sdaa", "sd", 26},       {"vda", "vd", 0},         {"xvdc", "xvd", 2},
        {"hdb", "hd", 1},         {"nvme0n1", "nvme0n", 1}, {"nvme10n12", "nvme10n", 12},
        {"mmcblk0", "mmcblk", 0}, {"dm-0", "dm-", 0},       {"loop3", "loop", 3},
        {"md127", "md", 127},     {"zram0", "zram", 0},     {"sr0", "sr", 0},
        {"pmem", "pmem", 0},
    };
    std::set<std::string> keys;
    for (const auto& c : cases) {
        auto split = compat::split_disk_name(c.linux_name);
        EXPECT_EQ(split.name, c.name) << c.linux_name;
        EXPECT_EQ(split.unit, c.unit) << c.linux_name;
        EXPECT_TRUE(keys.insert(std::string(split.name) + std::to_string(split.unit)).second) << c.linux_name;
    }
}

class SensorNodeTest : public CapturedTreeTest {};

TEST_F(SensorNodeTest, IntegerInsideTheNameReachesTheSameNodeByNameAndByNumber) {
    write_file("sys/devices/system/cpu/cpu12/topology/core_id", "3\n");
    write_file("sys/devices/system/cpu/cpu12/topology/physical_package_id", "0\n");
    write_file("sys/class/thermal/thermal_zone0/type", "x86_pkg_temp\n");
    write_file("sys/class/thermal/thermal_zone0/temp", "61999\n");
    use_as_root();
    int value = 0;
    size_t len = sizeof value;
    ASSERT_EQ(freebsd::sysctlbyname("dev.cpu.12.temperature", &value, &len, nullptr, 0), 0);
    EXPECT_EQ(value, 2731 + 619);
    errno = 0;
    EXPECT_EQ(freebsd::sysctlbyname("dev.cpu.12.coretemp.tjmax", &value, &len, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);  // the zone has no critical trip point
    for (const char* bad :
         {"dev.cpu.x.temperature", "dev.cpu.12", "dev.cpu.12.temperature.1", "dev.cpu.12.temp"}) {
        errno = 0;
        EXPECT_EQ(freebsd::sysctlbyname(bad, &value, &len, nullptr, 0), -1) << bad;
        EXPECT_NE(errno, 0) << bad;
    }
}

TEST(Devstat, LibraryBufferIsReplacedNotLeakedAcrossCalls) {
    norvik_script_reset();
    freebsd::devstat one{};
    std::string bytes(reinterpret_cast<const char*>(&one), sizeof one);
    norvik_script_answer("devstat_getdevs.0", bytes.data(), bytes.size());
    freebsd::devinfo info{};
    freebsd::statinfo stats{};
    stats.dinfo = &info;
    EXPECT_EQ(freebsd::devstat_getdevs(nullptr, &stats), 1);
    EXPECT_EQ(info.numdevs, 1);
    EXPECT_EQ(freebsd::devstat_getdevs(nullptr, &stats), 0);  // same generation
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(info.devices), info.mem_ptr + sizeof(long));
    free(info.mem_ptr);
    norvik_script_reset();
}

// As kern_getfsstat: a negative size and a mode other than MNT_WAIT or
// MNT_NOWAIT are EINVAL; no buffer, or a size of 0 with one, counts every
// mount; a buffer holds as many records as fit.
class GetfsstatTest : public CapturedTreeTest {};

TEST_F(GetfsstatTest, SizeAndModeRules) {
    write_file("proc/self/mountinfo",
               "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
               "23 22 0:21 / /proc rw,nosuid - proc proc rw\n"
               "24 22 0:5 / /dev rw - devtmpfs udev rw\n");
    use_as_root();
    constexpr long kRecord = sizeof(freebsd::statfs);
    struct Case {
        const char* name;
        bool with_buffer;
        long bufsize;
        int mode;
        int result;
        int err;
    };
    const Case cases[] = {
        {"count", false, 0, freebsd::MNT_NOWAIT, 3, 0},
        {"count, size given without a buffer", false, 2 * kRecord, freebsd::MNT_WAIT, 3, 0},
        {"size 0 with a buffer counts", true, 0, freebsd::MNT_NOWAIT, 3, 0},
        {"fill what fits", true, 2 * kRecord, freebsd::MNT_NOWAIT, 2, 0},
        {"fill all", true, 4 * kRecord, freebsd::MNT_WAIT, 3, 0},
        {"room for none", true, kRecord - 1, freebsd::MNT_NOWAIT, 0, 0},
        {"negative size", true, -1, freebsd::MNT_NOWAIT, -1, EINVAL},
        {"negative size without a buffer", false, -kRecord, freebsd::MNT_NOWAIT, -1, EINVAL},
        {"lazy mode", true, 4 * kRecord, freebsd::MNT_LAZY, -1, EINVAL},
        {"unknown mode", false, 0, 7, -1, EINVAL},
    };
    for (const Case& c : cases) {
        std::vector<freebsd::statfs> buf(4);
        errno = 0;
        const int got = freebsd::getfsstat(c.with_buffer ? buf.data() : nullptr, c.bufsize, c.mode);
        EXPECT_EQ(got, c.result) << c.name;
        if (c.result < 0) {
            EXPECT_EQ(errno, c.err) << c.name;
        }
        if (c.with_buffer && c.bufsize > 0 && c.result > 0) {
            EXPECT_STREQ(buf[0].f_mntonname, "/") << c.name;
        }
        if (c.with_buffer && c.bufsize == 0) {
            EXPECT_EQ(buf[0].f_mntonname[0], '\0') << c.name;  // nothing written
        }
    }
}

}  // namespace
