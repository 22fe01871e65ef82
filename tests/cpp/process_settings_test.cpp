// Settings of a whole process that the host keeps per thread: the walk that
// gives every thread one setting or puts every one back (over a captured
// task listing, with a setting that records what it is asked), and the
// sizes of the caller's buffer cpuset_getaffinity and cpuset_setaffinity
// take from the calling process.
#include "captured_tree.h"
#include "freebsd/sys/cpuset.h"
#include "linux/host_files.h"
#include "linux/proc_records.h"
#include "linux/thread_settings.h"

namespace {
constexpr auto kLevelWhich = freebsd::CPU_LEVEL_WHICH;
constexpr auto kWhichPid = freebsd::CPU_WHICH_PID;
}  // namespace

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Records every change and undo; a thread named in `refusals` refuses with
// that errno.
class Recorded final : public compat::ThreadSetting {
public:
    explicit Recorded(std::map<int, int> refusals) : refusals_(std::move(refusals)) {}
    int change(int tid) override {
        if (auto it = refusals_.find(tid); it != refusals_.end()) return it->second;
        changed.push_back(tid);
        log.push_back("set " + std::to_string(tid));
        return 0;
    }
    void undo_last() override {
        log.push_back("undo " + std::to_string(changed.back()));
        changed.pop_back();
    }
    std::vector<int> changed;
    std::vector<std::string> log;

private:
    std::map<int, int> refusals_;
};

struct WalkCase {
    const char* name;
    int first;                    // the thread that answers for process 10
    std::map<int, int> refusals;  // tid -> errno
    int expected;
    std::vector<int> kept;  // the threads changed in the end, first one first
};

class EveryThread : public CapturedTreeTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(EveryThread, ChangesAllOrPutsAllBack) {
    const WalkCase& c = GetParam();
    for (int tid : {10, 11, 12, 13}) fs::create_directories(root_ / "proc/10/task" / std::to_string(tid));
    use_as_root();
    compat::Fd group = compat::open_host("proc/10", O_PATH | O_DIRECTORY);
    ASSERT_TRUE(group.valid());
    Recorded setting(c.refusals);
    EXPECT_EQ(compat::change_every_thread(group.get(), 10, c.first, setting), c.expected);
    // The listing's order is the folder's, so the threads after the first
    // are compared as a set.
    std::vector<int> kept(setting.changed), want(c.kept);
    if (!want.empty()) {
        ASSERT_FALSE(kept.empty());
        EXPECT_EQ(kept.front(), want.front());  // the answering thread goes first
    }
    std::sort(kept.begin(), kept.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(kept, want);
    // Each undo names the latest change still standing, and every change
    // made was undone unless the walk kept them all.
    std::vector<std::string> standing;
    for (const std::string& step : setting.log) {
        if (step.rfind("set ", 0) == 0) {
            standing.push_back(step.substr(4));
        } else {
            ASSERT_FALSE(standing.empty()) << step;
            EXPECT_EQ(step.substr(5), standing.back());
            standing.pop_back();
        }
    }
    EXPECT_EQ(standing.size(), c.kept.size());
}

INSTANTIATE_TEST_SUITE_P(
    Walks, EveryThread,
    ::testing::Values(WalkCase{"Everyone", 10, {}, 0, {10, 11, 12, 13}},
                      WalkCase{"TheFirstRefusesAndNothingChanges", 10, {{10, EPERM}}, EPERM, {}},
                      WalkCase{"ARefusalPartWayPutsAllBack", 10, {{12, EPERM}}, EPERM, {}},
                      WalkCase{"AFailureOfTheHostPutsAllBack", 10, {{13, ENOMEM}}, ENOMEM, {}},
                      WalkCase{"AThreadThatEndedIsPassedOver", 10, {{12, ESRCH}}, 0, {10, 11, 13}},
                      WalkCase{"AnExitedFirstThreadIsPassedOver", 12, {}, 0, {12, 11, 13}}),
    [](const ::testing::TestParamInfo<WalkCase>& info) { return std::string(info.param.name); });

// The caller's buffer for a mask may have any size that holds the mask:
// read into a short one when the CPUs fit, with zeros past the mask in a
// long one; written from either, as long as the bytes past the mask are
// zeros.
class MaskSizes : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(freebsd::cpuset_getaffinity(kLevelWhich, kWhichPid, -1, sizeof own_, &own_), 0);
    }
    void TearDown() override { freebsd::cpuset_setaffinity(kLevelWhich, kWhichPid, -1, sizeof own_, &own_); }
    // The bytes the calling process's mask needs: up to its highest CPU.
    std::size_t needed() const {
        const auto* bytes = reinterpret_cast<const unsigned char*>(&own_);
        std::size_t n = sizeof own_;
        while (n > 0 && bytes[n - 1] == 0) --n;
        return n;
    }
    freebsd::cpuset_t own_{};
};

TEST_F(MaskSizes, ReadIntoAnySizeThatHoldsTheMask) {
    struct Case {
        std::size_t size;
        int expected;
    };
    const std::size_t need = needed();
    ASSERT_GT(need, 0u);
    for (const Case c : {Case{need, 0}, Case{8, need <= 8 ? 0 : ERANGE}, Case{need - 1, ERANGE},
                         Case{0, ERANGE}, Case{256, 0}}) {
        std::vector<unsigned char> buf(256, 0xa5);
        errno = 0;
        const int rc = freebsd::cpuset_getaffinity(kLevelWhich, kWhichPid, -1, c.size,
                                                   reinterpret_cast<freebsd::cpuset_t*>(buf.data()));
        EXPECT_EQ(rc == 0 ? 0 : errno, c.expected) << c.size;
        if (rc != 0) continue;
        const std::size_t copied = std::min(c.size, sizeof own_);
        EXPECT_EQ(std::memcmp(buf.data(), &own_, copied), 0) << c.size;
        for (std::size_t i = copied; i < c.size; ++i) ASSERT_EQ(buf[i], 0) << c.size << " byte " << i;
        for (std::size_t i = c.size; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xa5) << c.size << " byte " << i;
    }
}

TEST_F(MaskSizes, WrittenFromAnySizeWithNothingPastTheMask) {
    std::vector<unsigned char> buf(256, 0);
    std::memcpy(buf.data(), &own_, sizeof own_);
    auto* mask = reinterpret_cast<freebsd::cpuset_t*>(buf.data());
    EXPECT_EQ(freebsd::cpuset_setaffinity(kLevelWhich, kWhichPid, -1, 256, mask), 0);
    EXPECT_EQ(freebsd::cpuset_setaffinity(kLevelWhich, kWhichPid, -1, needed(), mask), 0);
    buf[200] = 1;  // a CPU past the 1024 the mask holds
    errno = 0;
    EXPECT_EQ(freebsd::cpuset_setaffinity(kLevelWhich, kWhichPid, -1, 256, mask), -1);
    EXPECT_EQ(errno, EINVAL);
    // An empty mask is EDEADLK, for a pid that names nothing too.
    std::vector<unsigned char> empty(8, 0);
    for (freebsd::id_t id : {freebsd::id_t{-1}, freebsd::id_t{0x7ffffffe}}) {
        errno = 0;
        EXPECT_EQ(freebsd::cpuset_setaffinity(kLevelWhich, kWhichPid, id, empty.size(),
                                              reinterpret_cast<freebsd::cpuset_t*>(empty.data())),
                  -1);
        EXPECT_EQ(errno, EDEADLK) << id;
    }
}

}  // namespace
