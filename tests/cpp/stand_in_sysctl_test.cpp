// The stand-in's sysctl(3) and sysctlbyname(3): the kernel's conventions
// around the node table, and the scripted overlay in front of it.
#include "freebsd/sys/sysctl.h"
#include "freebsd/sys/user.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "script/script.h"

namespace {

using freebsd::sysctl;
using freebsd::sysctlbyname;

constexpr int kSize = 0, kRead = 1, kWrite = 2;

int host_argmax() {
    long value = sysconf(_SC_ARG_MAX);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// errno of a call that must fail, or 0 when it succeeded.
template <typename Call>
int failure_of(Call call) {
    errno = 0;
    return call() == -1 ? errno : 0;
}

class StandInSysctlTest : public ::testing::Test {
protected:
    void SetUp() override { norvik_script_reset(); }
    void TearDown() override { norvik_script_reset(); }

    // One read of kern.argmax by name into a buffer of the given size.
    int read_argmax(void* buf, size_t& len) { return sysctlbyname("kern.argmax", buf, &len, nullptr, 0); }

    const int argmax_mib[2] = {freebsd::CTL_KERN, freebsd::KERN_ARGMAX};
};

TEST_F(StandInSysctlTest, WithoutABufferTheLengthReceivesTheSizeNeeded) {
    size_t len = 0;
    ASSERT_EQ(sysctl(argmax_mib, 2, nullptr, &len, nullptr, 0), 0);
    EXPECT_EQ(len, sizeof(int));
    len = 12345;  // whatever it held before
    ASSERT_EQ(sysctlbyname("kern.argmax", nullptr, &len, nullptr, 0), 0);
    EXPECT_EQ(len, sizeof(int));

    const int self[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID, getpid()};
    ASSERT_EQ(sysctl(self, 4, nullptr, &len, nullptr, 0), 0);
    EXPECT_EQ(len, sizeof(freebsd::kinfo_proc));
    EXPECT_EQ(norvik_script_count(("kern.proc.pid." + std::to_string(getpid())).c_str(), kRead), 0);
}

TEST_F(StandInSysctlTest, ByNameAndByMibReachTheSameNode) {
    int by_mib = 0, by_name = 0;
    size_t len = sizeof by_mib;
    ASSERT_EQ(sysctl(argmax_mib, 2, &by_mib, &len, nullptr, 0), 0);
    EXPECT_EQ(len, sizeof by_mib);
    len = sizeof by_name;
    ASSERT_EQ(sysctlbyname("kern.argmax", &by_name, &len, nullptr, 0), 0);
    EXPECT_EQ(by_mib, host_argmax());
    EXPECT_EQ(by_name, host_argmax());
    EXPECT_EQ(norvik_script_count("kern.argmax", kRead), 2);

    // A per-process node: the pid is the trailing integer either way.
    const int pid = getpid();
    const int mib[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID, pid};
    freebsd::kinfo_proc a{}, b{};
    len = sizeof a;
    ASSERT_EQ(sysctl(mib, 4, &a, &len, nullptr, 0), 0);
    len = sizeof b;
    const std::string name = "kern.proc.pid." + std::to_string(pid);
    ASSERT_EQ(sysctlbyname(name.c_str(), &b, &len, nullptr, 0), 0);
    EXPECT_EQ(len, sizeof b);
    EXPECT_EQ(a.ki_pid, pid);
    EXPECT_EQ(b.ki_pid, pid);
    EXPECT_EQ(norvik_script_count(name.c_str(), kRead), 2);
}

TEST_F(StandInSysctlTest, AShortBufferFailsWithEnomemAfterAPartialCopy) {
    const int value = host_argmax();
    unsigned char buf[4] = {0xee, 0xee, 0xee, 0xee};
    size_t len = 2;
    EXPECT_EQ(failure_of([&] { return read_argmax(buf, len); }), ENOMEM);
    EXPECT_EQ(memcmp(buf, &value, 2), 0);
    EXPECT_EQ(buf[2], 0xee);
    EXPECT_EQ(buf[3], 0xee);

    ASSERT_EQ(norvik_script_answer("kern.argmax", "ABCDEFGH", 8), 0);
    char text[8];
    memset(text, '.', sizeof text);
    len = 3;
    EXPECT_EQ(failure_of([&] { return sysctl(argmax_mib, 2, text, &len, nullptr, 0); }), ENOMEM);
    EXPECT_EQ(std::string(text, 8), "ABC.....");
}

TEST_F(StandInSysctlTest, UnknownNamesFailWithEnoent) {
    size_t len = 4;
    int value = 0;
    EXPECT_EQ(failure_of([&] { return sysctlbyname("kern.no_such_node", &value, &len, nullptr, 0); }), ENOENT);
    EXPECT_EQ(failure_of([&] { return sysctlbyname("kern", &value, &len, nullptr, 0); }), ENOENT);
    EXPECT_EQ(failure_of([&] { return sysctlbyname("kern.argmaxx", &value, &len, nullptr, 0); }), ENOENT);
    EXPECT_EQ(failure_of([&] { return sysctlbyname("", &value, &len, nullptr, 0); }), ENOENT);
    EXPECT_EQ(failure_of([&] { return sysctlbyname("kern.proc.pid.x", &value, &len, nullptr, 0); }), ENOENT);
    const int unknown[2] = {freebsd::CTL_KERN, 9999};
    EXPECT_EQ(failure_of([&] { return sysctl(unknown, 2, &value, &len, nullptr, 0); }), ENOENT);
    const int top[2] = {99, freebsd::KERN_ARGMAX};
    EXPECT_EQ(failure_of([&] { return sysctl(top, 2, nullptr, &len, nullptr, 0); }), ENOENT);
}

TEST_F(StandInSysctlTest, AWrongNumberOfNameComponentsIsEinval) {
    size_t len = 0;
    const int no_pid[3] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID};
    EXPECT_EQ(failure_of([&] { return sysctl(no_pid, 3, nullptr, &len, nullptr, 0); }), EINVAL);
    const int two_pids[5] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID, 1, 1};
    EXPECT_EQ(failure_of([&] { return sysctl(two_pids, 5, nullptr, &len, nullptr, 0); }), EINVAL);
    const int argmax_extra[3] = {freebsd::CTL_KERN, freebsd::KERN_ARGMAX, 1};
    EXPECT_EQ(failure_of([&] { return sysctl(argmax_extra, 3, nullptr, &len, nullptr, 0); }), EINVAL);
    EXPECT_EQ(failure_of([&] { return sysctl(argmax_mib, 1, nullptr, &len, nullptr, 0); }), EINVAL);
    int deep[freebsd::CTL_MAXNAME + 1] = {freebsd::CTL_KERN, freebsd::KERN_ARGMAX};
    EXPECT_EQ(failure_of([&] { return sysctl(deep, freebsd::CTL_MAXNAME + 1, nullptr, &len, nullptr, 0); }),
              EINVAL);
    EXPECT_EQ(failure_of([&] { return sysctlbyname("kern.proc.pid", nullptr, &len, nullptr, 0); }), EINVAL);
    EXPECT_EQ(failure_of([&] { return sysctlbyname("kern.argmax.3", nullptr, &len, nullptr, 0); }), EINVAL);
}

TEST_F(StandInSysctlTest, APidThatDoesNotExistIsEsrch) {
    size_t len = 0;
    // Beyond the kernel's pid range (pid_max is at most 2^22).
    const int gone[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID, 99999999};
    EXPECT_EQ(failure_of([&] { return sysctl(gone, 4, nullptr, &len, nullptr, 0); }), ESRCH);
}

TEST_F(StandInSysctlTest, ReadOnlyNodesRefuseANewValue) {
    const int value = 4096;
    EXPECT_EQ(failure_of([&] { return sysctlbyname("kern.argmax", nullptr, nullptr, &value, sizeof value); }),
              EPERM);
    EXPECT_EQ(norvik_script_count("kern.argmax", kWrite), 1);
}

TEST_F(StandInSysctlTest, AScriptedAnswerReplacesTheHost) {
    const int scripted = 77;
    ASSERT_EQ(norvik_script_answer("kern.argmax", &scripted, sizeof scripted), 0);
    int value = 0;
    size_t len = sizeof value;
    ASSERT_EQ(read_argmax(&value, len), 0);
    EXPECT_EQ(value, 77);
    // The size answer follows the scripted bytes too.
    ASSERT_EQ(norvik_script_answer("kern.argmax", "123456", 6), 0);
    ASSERT_EQ(read_argmax(nullptr, len), 0);
    EXPECT_EQ(len, 6u);
    // An empty answer needs no bytes at all.
    ASSERT_EQ(norvik_script_answer("kern.argmax", nullptr, 0), 0);
    ASSERT_EQ(read_argmax(nullptr, len), 0);
    EXPECT_EQ(len, 0u);
    char one = 'k';
    len = 1;
    ASSERT_EQ(read_argmax(&one, len), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(one, 'k');
}

TEST_F(StandInSysctlTest, AScriptedSizeAnswerStandsApartFromTheBytes) {
    ASSERT_EQ(norvik_script_size("kern.argmax", 100), 0);
    size_t len = 0;
    ASSERT_EQ(read_argmax(nullptr, len), 0);
    EXPECT_EQ(len, 100u);
    int value = 0;
    len = sizeof value;
    ASSERT_EQ(read_argmax(&value, len), 0);  // the host's bytes are read as ever
    EXPECT_EQ(value, host_argmax());
    ASSERT_EQ(norvik_script_size("kern.argmax", -1), 0);
    ASSERT_EQ(read_argmax(nullptr, len), 0);
    EXPECT_EQ(len, sizeof value);
}

TEST_F(StandInSysctlTest, FailuresOnceNTimesOrAlways) {
    int value = 0;
    size_t len = sizeof value;
    ASSERT_EQ(norvik_script_fail("kern.argmax", EIO, 1), 0);
    EXPECT_EQ(failure_of([&] { return read_argmax(&value, len); }), EIO);
    len = sizeof value;
    EXPECT_EQ(failure_of([&] { return read_argmax(&value, len); }), 0);
    EXPECT_EQ(value, host_argmax());

    ASSERT_EQ(norvik_script_fail("kern.argmax", EBUSY, 3), 0);
    for (int i = 0; i < 3; ++i) {
        len = sizeof value;
        EXPECT_EQ(failure_of([&] { return read_argmax(&value, len); }), EBUSY) << i;
    }
    len = sizeof value;
    EXPECT_EQ(failure_of([&] { return read_argmax(&value, len); }), 0);

    ASSERT_EQ(norvik_script_fail("kern.argmax", EACCES, -1), 0);
    for (int i = 0; i < 20; ++i) {
        len = sizeof value;
        EXPECT_EQ(failure_of([&] { return read_argmax(&value, len); }), EACCES) << i;
    }
    // Size questions fail too; a script can pick one kind only.
    EXPECT_EQ(failure_of([&] { return read_argmax(nullptr, len); }), EACCES);
    ASSERT_EQ(norvik_script_fail_on("kern.argmax", kRead, EIO, 0, -1), 0);
    EXPECT_EQ(failure_of([&] { return read_argmax(nullptr, len); }), 0);
    EXPECT_EQ(failure_of([&] { return read_argmax(&value, len); }), EIO);
}

TEST_F(StandInSysctlTest, AFailureMustCarryAnErrno) {
    // A scripted "failure" with errno 0 would make the call report success
    // without an answer; the overlay refuses it.
    EXPECT_EQ(norvik_script_fail("kern.argmax", 0, 1), -1);
    EXPECT_EQ(norvik_script_fail_on("kern.argmax", 7, EIO, 0, 1), -1);
    EXPECT_EQ(norvik_script_fail_on("kern.argmax", kRead, EIO, -1, 1), -1);
    int value = 0;
    size_t len = sizeof value;
    EXPECT_EQ(failure_of([&] { return read_argmax(&value, len); }), 0);
    EXPECT_EQ(value, host_argmax());
}

TEST_F(StandInSysctlTest, GrowthFailsReadsNotSizeQuestions) {
    ASSERT_EQ(norvik_script_grow("kern.argmax", 2), 0);
    int value = 0;
    size_t len = 0;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(read_argmax(nullptr, len), 0);
        EXPECT_EQ(len, sizeof value);
        EXPECT_EQ(failure_of([&] { return read_argmax(&value, len); }), ENOMEM) << i;
    }
    len = sizeof value;
    ASSERT_EQ(read_argmax(&value, len), 0);
    EXPECT_EQ(value, host_argmax());
    EXPECT_EQ(norvik_script_count("kern.argmax", kSize), 2);
    EXPECT_EQ(norvik_script_count("kern.argmax", kRead), 3);
}

TEST_F(StandInSysctlTest, WildcardsMatchAnyLastComponentAndExactKeysWin) {
    const int pid = getpid();
    freebsd::kinfo_proc record{};
    record.ki_structsize = sizeof record;
    record.ki_pid = 4242;
    ASSERT_EQ(norvik_script_answer("kern.proc.pid.*", &record, sizeof record), 0);
    ASSERT_EQ(norvik_script_fail(("kern.proc.pid." + std::to_string(pid)).c_str(), ESRCH, -1), 0);

    freebsd::kinfo_proc out{};
    size_t len = sizeof out;
    ASSERT_EQ(sysctlbyname("kern.proc.pid.1", &out, &len, nullptr, 0), 0);
    EXPECT_EQ(out.ki_pid, 4242);
    // Even a pid that does not exist answers the scripted record.
    const int gone[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID, 99999999};
    len = sizeof out;
    ASSERT_EQ(sysctl(gone, 4, &out, &len, nullptr, 0), 0);
    EXPECT_EQ(out.ki_pid, 4242);
    const int self[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID, pid};
    len = sizeof out;
    EXPECT_EQ(failure_of([&] { return sysctl(self, 4, &out, &len, nullptr, 0); }), ESRCH);
    // Counts are kept per exact key.
    EXPECT_EQ(norvik_script_count("kern.proc.pid.1", kRead), 1);
    EXPECT_EQ(norvik_script_count("kern.proc.pid.99999999", kRead), 1);
    EXPECT_EQ(norvik_script_count("kern.proc.pid.*", kRead), 0);
}

TEST_F(StandInSysctlTest, ResetForgetsScriptsAndCounts) {
    const int scripted = 1;
    ASSERT_EQ(norvik_script_answer("kern.argmax", &scripted, sizeof scripted), 0);
    ASSERT_EQ(norvik_script_fail("kern.proc.pid.*", EIO, -1), 0);
    ASSERT_EQ(norvik_script_grow("kern.proc.proc", -1), 0);
    int value = 0;
    size_t len = sizeof value;
    ASSERT_EQ(read_argmax(&value, len), 0);
    ASSERT_EQ(value, 1);
    EXPECT_EQ(norvik_script_count("kern.argmax", kRead), 1);

    norvik_script_reset();
    EXPECT_EQ(norvik_script_count("kern.argmax", kRead), 0);
    len = sizeof value;
    ASSERT_EQ(read_argmax(&value, len), 0);
    EXPECT_EQ(value, host_argmax());
    const int self[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID, getpid()};
    ASSERT_EQ(sysctl(self, 4, nullptr, &len, nullptr, 0), 0);
}

TEST_F(StandInSysctlTest, TheControlFunctionsRefuseMissingArguments) {
    EXPECT_EQ(norvik_script_answer(nullptr, "x", 1), -1);
    EXPECT_EQ(norvik_script_answer("kern.argmax", nullptr, 1), -1);
    EXPECT_EQ(norvik_script_fail(nullptr, EIO, 1), -1);
    EXPECT_EQ(norvik_script_grow(nullptr, 1), -1);
    EXPECT_EQ(norvik_script_overreport(nullptr, 1), -1);
    EXPECT_EQ(norvik_script_count(nullptr, 0), -1);
    EXPECT_EQ(norvik_script_count("kern.argmax", 4), -1);
    EXPECT_EQ(norvik_script_set_root(nullptr), -1);
}

}  // namespace
