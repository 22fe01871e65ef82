// The bounded strings: what they write, what they return, and what happens
// to a misuse under each switch.
#include <string.h>

#include <string>

#include "arch/all/str.h"
#include "frame_test_util.h"

namespace {

using frame_test::debug_lines;
using frame_test::StderrCapture;
using frame_test::Switches;

constexpr const char* kStrSource = "src/arch/all/str.cpp";

TEST(StrFormat, ReturnsTheLengthWhenTheTextFits) {
    Switches quiet(0, 0);
    char buf[10];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(str_format(buf, sizeof buf, "%s%d", "abcd", 12345), 9);
    EXPECT_STREQ(buf, "abcd12345");
    EXPECT_EQ(str_format(buf, sizeof buf, "%s", ""), 0);
    EXPECT_STREQ(buf, "");
}

TEST(StrFormat, CutsATextThatDoesNotFitAndReturnsMinusOne) {
    Switches quiet(0, 0);
    char buf[10];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(str_format(buf, sizeof buf, "%s", "0123456789"), -1);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string("012345678\0", 10));
    // A one-byte buffer holds only the terminator.
    char one[1] = {'x'};
    EXPECT_EQ(str_format(one, sizeof one, "%d", 7), -1);
    EXPECT_EQ(one[0], '\0');
}

TEST(StrFormat, ACutIsNeverFatalAndWritesADebugLineNamingTheFormat) {
    Switches on(1, 1);
    char buf[4];
    StderrCapture err;
    EXPECT_EQ(str_format(buf, sizeof buf, "%s and more", "long text"), -1);
    auto lines = debug_lines(err.text());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "str_format: error in format '%s and more'");
    frame_test::expect_names_source(lines[0], kStrSource);
    EXPECT_STREQ(buf, "lon");
}

TEST(StrFormat, ZeroSizeLeavesTheBufferAlone) {
    Switches quiet(0, 0);
    char buf[4] = {'a', 'b', 'c', 'd'};
    StderrCapture err;
    EXPECT_EQ(str_format(buf, 0, "%s", "zz"), -1);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(std::string(buf, 4), "abcd");
}

TEST(StrFormat, ZeroSizeWithDebugWritesTheMisuseAsADebugLine) {
    Switches debug(1, 0);
    char buf[4] = {'a', 'b', 'c', 'd'};
    StderrCapture err;
    EXPECT_EQ(str_format(buf, 0, "%s", "zz"), -1);
    auto lines = debug_lines(err.text());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "str_format: invalid arg 'size' = 0");
    frame_test::expect_names_source(lines[0], kStrSource);
    EXPECT_EQ(std::string(buf, 4), "abcd");
}

TEST(StrCopy, CutsSilentlyAndCountsItAsSuccess) {
    Switches on(1, 1);  // a cut copy is neither fatal nor reported
    char buf[4];
    memset(buf, 'x', sizeof buf);
    StderrCapture err;
    EXPECT_EQ(str_copy(buf, sizeof buf, "abcdef"), 0);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(std::string(buf, 4), std::string("abc\0", 4));
}

TEST(StrCopy, FillsTheRestOfTheBufferWithNuls) {
    Switches quiet(0, 0);
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(str_copy(buf, sizeof buf, "ab"), 0);
    EXPECT_EQ(std::string(buf, 8), std::string("ab\0\0\0\0\0\0", 8));
    EXPECT_EQ(str_copy(buf, 1, "ab"), 0);
    EXPECT_EQ(buf[0], '\0');
}

TEST(StrCopy, ZeroSizeReturnsMinusOneAndWritesNothing) {
    Switches quiet(0, 0);
    char buf[2] = {'q', 'r'};
    EXPECT_EQ(str_copy(buf, 0, "ab"), -1);
    EXPECT_EQ(std::string(buf, 2), "qr");
}

TEST(StrNullPointers, FormatAndCopyRefuseThemWithoutWriting) {
    Switches quiet(0, 0);
    // Through a volatile so that the compiler cannot see the NULLs.
    char* volatile no_buf = nullptr;
    const char* volatile no_text = nullptr;
    char buf[4] = "abc";
    EXPECT_EQ(str_format(no_buf, 4, "%d", 1), -1);
    // A null format is the point here, not a format string to audit.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    EXPECT_EQ(str_format(buf, sizeof buf, no_text), -1);
#pragma GCC diagnostic pop
    EXPECT_EQ(str_copy(no_buf, 4, "x"), -1);
    EXPECT_EQ(str_copy(buf, sizeof buf, no_text), -1);
    EXPECT_STREQ(buf, "abc");
}

TEST(StrAppend, JoinsWhatFits) {
    Switches quiet(0, 0);
    char buf[5] = "ab";
    EXPECT_EQ(str_append(buf, sizeof buf, "cd"), 0);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(str_append(buf, sizeof buf, ""), 0);
    EXPECT_STREQ(buf, "abcd");
}

TEST(StrAppend, KeepsWhatFittedOfATooLongText) {
    Switches quiet(0, 0);
    char buf[5] = "ab";
    EXPECT_EQ(str_append(buf, sizeof buf, "cde"), -1);
    EXPECT_STREQ(buf, "abcd");
    // A full buffer takes nothing more and stays terminated.
    EXPECT_EQ(str_append(buf, sizeof buf, "z"), -1);
    EXPECT_STREQ(buf, "abcd");
}

TEST(StrAppend, RefusesUnusableArgumentsWithoutWriting) {
    Switches quiet(0, 0);
    char buf[4] = "ab";
    EXPECT_EQ(str_append(nullptr, 4, "x"), -1);
    EXPECT_EQ(str_append(buf, sizeof buf, nullptr), -1);
    EXPECT_EQ(str_append(buf, 0, "x"), -1);
    EXPECT_STREQ(buf, "ab");
}

TEST(StrAppend, NeverReadsOrWritesPastAnUnterminatedBuffer) {
    Switches quiet(0, 0);
    // The guard bytes behind the declared size must survive.
    char block[8];
    memset(block, 'g', sizeof block);
    memcpy(block, "abcd", 4);  // no terminator within the first 4 bytes
    EXPECT_EQ(str_append(block, 4, "x"), -1);
    EXPECT_EQ(std::string(block, 8), "abcdgggg");
}

TEST(StrAppend, MisuseWithDebugWritesTheMessageVerbatim) {
    Switches debug(1, 0);
    char buf[3] = "ab";
    StderrCapture err;
    EXPECT_EQ(str_append(buf, sizeof buf, "c"), -1);
    EXPECT_EQ(str_append(nullptr, 3, "c"), -1);
    auto lines = debug_lines(err.text());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "str_append: truncated");
    EXPECT_EQ(lines[1].message, "str_append: invalid arg");
    for (const auto& line : lines) frame_test::expect_names_source(line, kStrSource);
}

TEST(StrSwitchesOff, MisuseIsSilent) {
    Switches quiet(0, 0);
    char buf[3] = "ab";
    StderrCapture err;
    EXPECT_EQ(str_append(buf, sizeof buf, "c"), -1);
    EXPECT_EQ(str_copy(buf, 0, "c"), -1);
    EXPECT_EQ(str_format(buf, 0, "c"), -1);
    char small[2];
    EXPECT_EQ(str_format(small, sizeof small, "%s", "long"), -1);
    EXPECT_EQ(err.text(), "");
}

// Under the testing switch a misuse ends the process with status 1 after one
// CRITICAL line; nothing else reaches standard error.
class StrCriticalDeathTest : public ::testing::Test {};

TEST_F(StrCriticalDeathTest, AppendThatDoesNotFit) {
    EXPECT_EXIT(
        {
            NORVIK_TESTING = 1;
            char buf[5] = "ab";
            str_append(buf, sizeof buf, "cde");
        },
        ::testing::ExitedWithCode(1), "^CRITICAL: str_append: truncated\n$");
}

TEST_F(StrCriticalDeathTest, AppendWithNullPointers) {
    EXPECT_EXIT(
        {
            NORVIK_TESTING = 1;
            str_append(nullptr, 4, "x");
        },
        ::testing::ExitedWithCode(1), "^CRITICAL: str_append: invalid arg\n$");
}

TEST_F(StrCriticalDeathTest, FormatWithZeroSizeEvenWithDebugOn) {
    EXPECT_EXIT(
        {
            NORVIK_DEBUG = 1;
            NORVIK_TESTING = 1;
            char buf[1];
            str_format(buf, 0, "x");
        },
        ::testing::ExitedWithCode(1), "^CRITICAL: str_format: invalid arg 'size' = 0\n$");
}

TEST_F(StrCriticalDeathTest, CopyFromNull) {
    EXPECT_EXIT(
        {
            NORVIK_TESTING = 1;
            char buf[4];
            const char* volatile no_text = nullptr;
            str_copy(buf, sizeof buf, no_text);
        },
        ::testing::ExitedWithCode(1), "^CRITICAL: str_copy: invalid arg\n$");
}

TEST_F(StrCriticalDeathTest, CopyWithZeroSize) {
    EXPECT_EXIT(
        {
            NORVIK_TESTING = 1;
            char buf[1];
            str_copy(buf, 0, "x");
        },
        ::testing::ExitedWithCode(1), "^CRITICAL: str_copy: invalid arg 'dst_size' = 0\n$");
}

}  // namespace
