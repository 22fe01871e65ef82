// The validating kernel state wrappers, over the stand-in and its scripted
// overlay: argument checks, every failure's exception, errno after an
// OSError, short answers, and the bounded re-reads of a growing table.
#include "freebsd/sys/sysctl.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "arch/posix/sysctl.h"
#include "frame_test_util.h"
#include "owned.h"
#include "script/script.h"

namespace {

using frame_test::debug_lines;
using frame_test::fetch;
using frame_test::Raised;
using frame_test::StderrCapture;
using frame_test::Switches;

constexpr int kSize = 0, kRead = 1;
constexpr const char* kArgmax = "kern.argmax";
constexpr const char* kSysctlSource = "src/arch/posix/sysctl.cpp";

int host_argmax() {
    long value = sysconf(_SC_ARG_MAX);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

std::string with_origin(int errnum, const std::string& origin) {
    return std::string(strerror(errnum)) + " (originated from " + origin + ")";
}

class WrapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        norvik_script_reset();
        PyErr_Clear();
    }
    void TearDown() override {
        norvik_script_reset();
        PyErr_Clear();
    }
    long asked(const char* key, int what) { return norvik_script_count(key, what); }

    int mib_argmax[2] = {freebsd::CTL_KERN, freebsd::KERN_ARGMAX};
    Switches quiet{0, 0};
};

TEST_F(WrapperTest, ReadTheHostsValueByMibAndByName) {
    int value = 0;
    ASSERT_EQ(norvik_sysctl(mib_argmax, 2, &value, sizeof value), 0);
    EXPECT_EQ(value, host_argmax());
    value = 0;
    ASSERT_EQ(norvik_sysctlbyname(kArgmax, &value, sizeof value), 0);
    EXPECT_EQ(value, host_argmax());
    EXPECT_EQ(norvik_sysctl_argmax(), host_argmax());
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(asked(kArgmax, kRead), 3);
    EXPECT_EQ(asked(kArgmax, kSize), 0);
}

TEST_F(WrapperTest, BadArgumentsRaiseWithoutAKernelCall) {
    int value = 0;
    char* block = reinterpret_cast<char*>(0x1);
    size_t len = 77;
    struct Case {
        const char* what;
        int rc;
        const char* owner;
    } cases[] = {
        {"mib NULL", norvik_sysctl(nullptr, 2, &value, sizeof value), "norvik_sysctl"},
        {"count 0", norvik_sysctl(mib_argmax, 0, &value, sizeof value), "norvik_sysctl"},
        {"buffer NULL", norvik_sysctl(mib_argmax, 2, nullptr, sizeof value), "norvik_sysctl"},
        {"capacity 0", norvik_sysctl(mib_argmax, 2, &value, 0), "norvik_sysctl"},
        {"malloc mib NULL", norvik_sysctl_malloc(nullptr, 2, &block, &len), "norvik_sysctl_malloc"},
        {"malloc count 0", norvik_sysctl_malloc(mib_argmax, 0, &block, &len), "norvik_sysctl_malloc"},
        {"malloc out NULL", norvik_sysctl_malloc(mib_argmax, 2, nullptr, &len), "norvik_sysctl_malloc"},
        {"malloc len NULL", norvik_sysctl_malloc(mib_argmax, 2, &block, nullptr), "norvik_sysctl_malloc"},
        {"name NULL", norvik_sysctlbyname(nullptr, &value, sizeof value), "norvik_sysctlbyname"},
        {"by name buffer NULL", norvik_sysctlbyname(kArgmax, nullptr, sizeof value), "norvik_sysctlbyname"},
        {"by name capacity 0", norvik_sysctlbyname(kArgmax, &value, 0), "norvik_sysctlbyname"},
        {"by name malloc name NULL", norvik_sysctlbyname_malloc(nullptr, &block, &len),
         "norvik_sysctlbyname_malloc"},
        {"by name malloc out NULL", norvik_sysctlbyname_malloc(kArgmax, nullptr, &len),
         "norvik_sysctlbyname_malloc"},
        {"by name malloc len NULL", norvik_sysctlbyname_malloc(kArgmax, &block, nullptr),
         "norvik_sysctlbyname_malloc"},
    };
    // Each call above raised in turn; only the last exception is pending.
    Raised last = fetch();
    EXPECT_EQ(last.type, PyExc_RuntimeError);
    EXPECT_EQ(last.message, "norvik_sysctlbyname_malloc() invalid args passed to function");
    for (const Case& c : cases) EXPECT_EQ(c.rc, -1) << c.what;
    EXPECT_EQ(asked(kArgmax, kSize), 0);
    EXPECT_EQ(asked(kArgmax, kRead), 0);
    EXPECT_EQ(block, reinterpret_cast<char*>(0x1));
    EXPECT_EQ(len, 77u);

    // And each one names its own wrapper.
    norvik_sysctl(mib_argmax, 2, &value, 0);
    EXPECT_EQ(fetch().message, "norvik_sysctl() invalid args passed to function");
    norvik_sysctl_malloc(mib_argmax, 2, nullptr, &len);
    EXPECT_EQ(fetch().message, "norvik_sysctl_malloc() invalid args passed to function");
    norvik_sysctlbyname(nullptr, &value, sizeof value);
    EXPECT_EQ(fetch().message, "norvik_sysctlbyname() invalid args passed to function");
}

TEST_F(WrapperTest, AShortAnswerLeavesTheRestOfTheBufferAsItWas) {
    uint64_t wide = 0xAAAAAAAAAAAAAAAAull;
    ASSERT_EQ(norvik_sysctlbyname(kArgmax, &wide, sizeof wide), 0);
    EXPECT_EQ(static_cast<int>(wide & 0xffffffffu), host_argmax());
    EXPECT_EQ(wide >> 32, 0xAAAAAAAAu);

    wide = 0x5555555555555555ull;
    ASSERT_EQ(norvik_sysctl(mib_argmax, 2, &wide, sizeof wide), 0);
    EXPECT_EQ(static_cast<int>(wide & 0xffffffffu), host_argmax());
    EXPECT_EQ(wide >> 32, 0x55555555u);
}

TEST_F(WrapperTest, AKernelReportingMoreThanTheBufferIsASizeMismatch) {
    const char eight[8] = {1, 0, 0, 0, 2, 0, 0, 0};
    ASSERT_EQ(norvik_script_answer(kArgmax, eight, sizeof eight), 0);
    ASSERT_EQ(norvik_script_overreport(kArgmax, 1), 0);
    int value = 0;
    EXPECT_EQ(norvik_sysctl(mib_argmax, 2, &value, sizeof value), -1);
    Raised r = fetch();
    EXPECT_EQ(r.type, PyExc_RuntimeError);
    EXPECT_EQ(r.message, "sysctl() size mismatch");

    EXPECT_EQ(norvik_sysctlbyname(kArgmax, &value, sizeof value), -1);
    r = fetch();
    EXPECT_EQ(r.type, PyExc_RuntimeError);
    EXPECT_EQ(r.message, "sysctlbyname('kern.argmax') size mismatch: returned 8, expected 4");

    EXPECT_EQ(norvik_sysctl_argmax(), 0);
    r = fetch();
    EXPECT_EQ(r.type, PyExc_RuntimeError);
    EXPECT_EQ(r.message, "sysctl() size mismatch");
}

TEST_F(WrapperTest, AFixedBufferTooSmallIsTheKernelsEnomem) {
    const char eight[8] = {};
    ASSERT_EQ(norvik_script_answer(kArgmax, eight, sizeof eight), 0);
    int value = 0;
    EXPECT_EQ(norvik_sysctl(mib_argmax, 2, &value, sizeof value), -1);
    EXPECT_EQ(errno, ENOMEM);
    Raised r = fetch();
    EXPECT_EQ(r.type, PyExc_OSError);
    EXPECT_EQ(r.errnum, ENOMEM);
    EXPECT_EQ(r.message, with_origin(ENOMEM, "sysctl()"));
}

TEST_F(WrapperTest, AMissingNameIsFileNotFoundAndErrnoStaysEnoent) {
    int value = 0;
    errno = 0;
    EXPECT_EQ(norvik_sysctlbyname("kern.no_such_node", &value, sizeof value), -1);
    EXPECT_EQ(errno, ENOENT);
    Raised r = fetch();
    EXPECT_EQ(r.type, PyExc_FileNotFoundError);
    EXPECT_EQ(r.errnum, ENOENT);
    EXPECT_EQ(r.message, with_origin(ENOENT, "sysctlbyname('kern.no_such_node')"));

    // Any other errno likewise survives the raise.
    ASSERT_EQ(norvik_script_fail(kArgmax, ESRCH, -1), 0);
    EXPECT_EQ(norvik_sysctl(mib_argmax, 2, &value, sizeof value), -1);
    EXPECT_EQ(errno, ESRCH);
    r = fetch();
    EXPECT_EQ(r.type, PyExc_ProcessLookupError);
    EXPECT_EQ(r.message, with_origin(ESRCH, "sysctl()"));

    EXPECT_EQ(norvik_sysctl_argmax(), 0);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(fetch().message, with_origin(ESRCH, "sysctl()"));
}

TEST_F(WrapperTest, ALongNameIsCutInTheMessageNotBeyondIt) {
    const std::string name = "kern." + std::string(400, 'x');
    int value = 0;
    EXPECT_EQ(norvik_sysctlbyname(name.c_str(), &value, sizeof value), -1);
    Raised r = fetch();
    EXPECT_EQ(r.type, PyExc_FileNotFoundError);
    const std::string origin = ("sysctlbyname('" + name).substr(0, 255);
    EXPECT_EQ(r.message, with_origin(ENOENT, origin));
}

TEST_F(WrapperTest, ArgmaxRefusesAValueThatIsNotPositive) {
    for (int bad : {0, -5}) {
        ASSERT_EQ(norvik_script_answer(kArgmax, &bad, sizeof bad), 0);
        EXPECT_EQ(norvik_sysctl_argmax(), 0);
        Raised r = fetch();
        EXPECT_EQ(r.type, PyExc_RuntimeError);
        EXPECT_EQ(r.message, "sysctl(KERN_ARGMAX) return <= 0");
    }
}

TEST_F(WrapperTest, AllocatingReadsCostOneSizeQuestionAndOneRead) {
    int mib[3] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PROC};
    char* block = nullptr;
    size_t len = 0;
    ASSERT_EQ(norvik_sysctl_malloc(mib, 3, &block, &len), 0);
    FreedPtr<char> guard(block);
    EXPECT_GT(len, 0u);
    EXPECT_EQ(len % 1088, 0u);
    // The live table may really grow meanwhile; every read follows a size question.
    EXPECT_GE(asked("kern.proc.proc", kRead), 1);
    EXPECT_EQ(asked("kern.proc.proc", kSize), asked("kern.proc.proc", kRead));

    char* by_name = nullptr;
    ASSERT_EQ(norvik_sysctlbyname_malloc(kArgmax, &by_name, &len), 0);
    FreedPtr<char> guard2(by_name);
    ASSERT_EQ(len, sizeof(int));
    int value;
    memcpy(&value, by_name, sizeof value);
    EXPECT_EQ(value, host_argmax());
    EXPECT_EQ(asked(kArgmax, kSize), 1);
    EXPECT_EQ(asked(kArgmax, kRead), 1);
}

TEST_F(WrapperTest, TheLengthHandedBackIsWhatTheKernelWrote) {
    const std::string answer = "0123456789";
    ASSERT_EQ(norvik_script_answer(kArgmax, answer.data(), answer.size()), 0);
    char* block = nullptr;
    size_t len = 0;
    ASSERT_EQ(norvik_sysctl_malloc(mib_argmax, 2, &block, &len), 0);
    FreedPtr<char> guard(block);
    ASSERT_EQ(len, answer.size());
    EXPECT_EQ(std::string(block, len), answer);
}

TEST_F(WrapperTest, APaddedSizeEstimateHandsBackOnlyWhatWasWritten) {
    ASSERT_EQ(norvik_script_answer(kArgmax, "abc", 3), 0);
    ASSERT_EQ(norvik_script_size(kArgmax, 64), 0);
    char* block = nullptr;
    size_t len = 0;
    ASSERT_EQ(norvik_sysctlbyname_malloc(kArgmax, &block, &len), 0);
    FreedPtr<char> guard(block);
    ASSERT_EQ(len, 3u);
    EXPECT_EQ(std::string(block, 3), "abc");
}

TEST_F(WrapperTest, AnAllocatingReadNeverHandsBackALengthBeyondTheBlock) {
    // The size answer says 4, the read claims 8 bytes: the block holds only 4.
    ASSERT_EQ(norvik_script_answer(kArgmax, "12345678", 8), 0);
    ASSERT_EQ(norvik_script_size(kArgmax, 4), 0);
    ASSERT_EQ(norvik_script_overreport(kArgmax, 1), 0);
    char* block = reinterpret_cast<char*>(0x1);
    size_t len = 99;
    EXPECT_EQ(norvik_sysctl_malloc(mib_argmax, 2, &block, &len), -1);
    Raised r = fetch();
    EXPECT_EQ(r.type, PyExc_RuntimeError);
    EXPECT_EQ(r.message, "sysctl() size mismatch");
    EXPECT_EQ(norvik_sysctlbyname_malloc(kArgmax, &block, &len), -1);
    r = fetch();
    EXPECT_EQ(r.type, PyExc_RuntimeError);
    EXPECT_EQ(r.message, "sysctlbyname('kern.argmax') size mismatch: returned 8, expected 4");
    EXPECT_EQ(block, reinterpret_cast<char*>(0x1));
    EXPECT_EQ(len, 99u);
}

TEST_F(WrapperTest, ASizeEstimateThatStaysShortEndsAtTheRetryLimit) {
    // As a kernel does: the read into the short block fails with ENOMEM.
    ASSERT_EQ(norvik_script_answer(kArgmax, "12345678", 8), 0);
    ASSERT_EQ(norvik_script_size(kArgmax, 4), 0);
    char* block = nullptr;
    size_t len = 0;
    EXPECT_EQ(norvik_sysctl_malloc(mib_argmax, 2, &block, &len), -1);
    EXPECT_EQ(fetch().message, "sysctl() buffer allocation retry limit exceeded");
    EXPECT_EQ(asked(kArgmax, kSize), 11);
}

TEST_F(WrapperTest, ASizeAnswerOfZeroGivesAZeroLengthBlock) {
    Switches debug(1, 0);
    ASSERT_EQ(norvik_script_answer(kArgmax, "", 0), 0);
    char* block = reinterpret_cast<char*>(0x1);
    size_t len = 99;
    StderrCapture err;
    ASSERT_EQ(norvik_sysctl_malloc(mib_argmax, 2, &block, &len), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_NE(block, reinterpret_cast<char*>(0x1));
    free(block);  // the caller releases even an empty block

    block = reinterpret_cast<char*>(0x1);
    ASSERT_EQ(norvik_sysctlbyname_malloc(kArgmax, &block, &len), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_NE(block, reinterpret_cast<char*>(0x1));
    free(block);

    auto lines = debug_lines(err.text());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "norvik_sysctl_malloc() size = 0");
    EXPECT_EQ(lines[1].message, "norvik_sysctlbyname_malloc() size = 0");
    for (const auto& line : lines) frame_test::expect_names_source(line, kSysctlSource);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(WrapperTest, ATableThatGrewIsReadAgain) {
    Switches debug(1, 0);
    ASSERT_EQ(norvik_script_grow(kArgmax, 3), 0);
    char* block = nullptr;
    size_t len = 0;
    StderrCapture err;
    ASSERT_EQ(norvik_sysctlbyname_malloc(kArgmax, &block, &len), 0);
    FreedPtr<char> guard(block);
    ASSERT_EQ(len, sizeof(int));
    int value;
    memcpy(&value, block, sizeof value);
    EXPECT_EQ(value, host_argmax());
    EXPECT_EQ(asked(kArgmax, kSize), 4);
    EXPECT_EQ(asked(kArgmax, kRead), 4);
    auto lines = debug_lines(err.text());
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines) {
        EXPECT_EQ(line.message, "norvik_sysctlbyname_malloc() retry");
        frame_test::expect_names_source(line, kSysctlSource);
    }
}

TEST_F(WrapperTest, TheTenthReadMaySucceed) {
    ASSERT_EQ(norvik_script_grow(kArgmax, 9), 0);
    char* block = nullptr;
    size_t len = 0;
    ASSERT_EQ(norvik_sysctl_malloc(mib_argmax, 2, &block, &len), 0);
    free(block);
    EXPECT_EQ(asked(kArgmax, kSize), 10);
    EXPECT_EQ(asked(kArgmax, kRead), 10);
}

// Ten reads that all fail with ENOMEM: eleven size questions, ten retry
// lines, and the limit error; the out-parameters are not written.
struct RetryCase {
    bool by_name;
    const char* message;
    const char* retry_line;
};

class RetryLimitTest : public WrapperTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(RetryLimitTest, GivesUpAfterTenReads) {
    const RetryCase& c = GetParam();
    Switches debug(1, 0);
    ASSERT_EQ(norvik_script_grow(kArgmax, -1), 0);
    char* block = reinterpret_cast<char*>(0x1);
    size_t len = 99;
    StderrCapture err;
    const int rc = c.by_name ? norvik_sysctlbyname_malloc(kArgmax, &block, &len)
                             : norvik_sysctl_malloc(mib_argmax, 2, &block, &len);
    const std::string text = err.text();
    EXPECT_EQ(rc, -1);
    Raised r = fetch();
    EXPECT_EQ(r.type, PyExc_RuntimeError);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(asked(kArgmax, kSize), 11);
    EXPECT_EQ(asked(kArgmax, kRead), 10);
    auto lines = debug_lines(text);
    ASSERT_EQ(lines.size(), 10u);
    for (const auto& line : lines) {
        EXPECT_EQ(line.message, c.retry_line);
        frame_test::expect_names_source(line, kSysctlSource);
    }
    EXPECT_EQ(block, reinterpret_cast<char*>(0x1));
    EXPECT_EQ(len, 99u);
}

INSTANTIATE_TEST_SUITE_P(
    Wrappers, RetryLimitTest,
    ::testing::Values(RetryCase{false, "sysctl() buffer allocation retry limit exceeded",
                                "norvik_sysctl_malloc() retry"},
                      RetryCase{true, "sysctlbyname('kern.argmax') buffer allocation retry limit exceeded",
                                "norvik_sysctlbyname_malloc() retry"}),
    [](const ::testing::TestParamInfo<RetryCase>& info) {
        return std::string(info.param.by_name ? "by_name" : "by_mib");
    });

// Which question fails decides the text: the first size question (1/3), a
// later size question (2/3) or a read (3/3). errno survives each of them.
struct StepCase {
    const char* step;
    bool by_name;
    int what;  // kind of question that fails
    int skip;  // questions of that kind let through first
    int grow;  // reads that fail with ENOMEM first
    int err;
    PyObject** type;
    long sizes;  // size questions asked in all
    long reads;
    const char* origin;
};

class AllocationStepTest : public WrapperTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(AllocationStepTest, NamesTheFailedStep) {
    const StepCase& c = GetParam();
    if (c.grow) {
        ASSERT_EQ(norvik_script_grow(kArgmax, c.grow), 0);
    }
    ASSERT_EQ(norvik_script_fail_on(kArgmax, c.what, c.err, c.skip, 1), 0);
    char* block = reinterpret_cast<char*>(0x1);
    size_t len = 99;
    errno = 0;
    const int rc = c.by_name ? norvik_sysctlbyname_malloc(kArgmax, &block, &len)
                             : norvik_sysctl_malloc(mib_argmax, 2, &block, &len);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(errno, c.err);
    Raised r = fetch();
    EXPECT_EQ(r.type, *c.type) << r.type_name;
    EXPECT_EQ(r.errnum, c.err);
    EXPECT_EQ(r.message, with_origin(c.err, c.origin));
    EXPECT_EQ(asked(kArgmax, kSize), c.sizes);
    EXPECT_EQ(asked(kArgmax, kRead), c.reads);
    EXPECT_EQ(block, reinterpret_cast<char*>(0x1));
    EXPECT_EQ(len, 99u);
}

INSTANTIATE_TEST_SUITE_P(
    Wrappers, AllocationStepTest,
    ::testing::Values(
        StepCase{"first size", false, kSize, 0, 0, EIO, &PyExc_OSError, 1, 0, "sysctl() malloc 1/3"},
        StepCase{"first size ENOMEM", false, kSize, 0, 0, ENOMEM, &PyExc_OSError, 1, 0, "sysctl() malloc 1/3"},
        StepCase{"read", false, kRead, 0, 0, EACCES, &PyExc_PermissionError, 1, 1, "sysctl() malloc 3/3"},
        StepCase{"later read", false, kRead, 2, 2, ESRCH, &PyExc_ProcessLookupError, 3, 3,
                 "sysctl() malloc 3/3"},
        StepCase{"later size", false, kSize, 1, 1, ENOENT, &PyExc_FileNotFoundError, 2, 1,
                 "sysctl() malloc 2/3"},
        StepCase{"by name first size", true, kSize, 0, 0, EIO, &PyExc_OSError, 1, 0,
                 "sysctlbyname('kern.argmax') malloc 1/3"},
        StepCase{"by name read", true, kRead, 0, 0, EPERM, &PyExc_PermissionError, 1, 1,
                 "sysctlbyname('kern.argmax') malloc 3/3"},
        StepCase{"by name later size", true, kSize, 3, 5, EIO, &PyExc_OSError, 4, 3,
                 "sysctlbyname('kern.argmax') malloc 2/3"}),
    [](const ::testing::TestParamInfo<StepCase>& info) {
        std::string name = info.param.step;
        for (char& ch : name) {
            if (ch == ' ') ch = '_';
        }
        return name;
    });

}  // namespace
