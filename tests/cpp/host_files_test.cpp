// Reading host files through the stand-in's root.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "captured_tree.h"
#include "linux/host_files.h"
#include "linux/host_text.h"
#include "script/script.h"

namespace {

// A captured tree with a version file and a long file.
class CapturedTree : public CapturedTreeTest {
protected:
    void SetUp() override {
        CapturedTreeTest::SetUp();
        write_file("proc/version", "Linux version 9.9.9-captured\n");
        write_file("proc/big", std::string(10000, 'b'));
    }
};

TEST_F(CapturedTree, TheRootAlwaysEndsWithASlash) {
    compat::set_host_root(root_.string());
    EXPECT_EQ(compat::host_root(), root_.string() + "/");
    compat::set_host_root(root_.string() + "/");
    EXPECT_EQ(compat::host_root(), root_.string() + "/");
    compat::set_host_root("");
    EXPECT_EQ(compat::host_root(), "/");
}

TEST_F(CapturedTree, FilesAreReadUnderTheRoot) {
    ASSERT_EQ(norvik_script_set_root(root_.c_str()), 0);
    std::string text;
    ASSERT_EQ(compat::read_host_file("proc/version", text), 0);
    EXPECT_EQ(text, "Linux version 9.9.9-captured\n");
    EXPECT_EQ(compat::read_host_file("proc/missing", text), ENOENT);

    compat::Fd dir = compat::open_host("proc", O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(dir.valid());
    ASSERT_EQ(compat::read_file_at(dir.get(), "big", text), 0);
    EXPECT_EQ(text.size(), 10000u);
    ASSERT_EQ(compat::read_file_at(dir.get(), "big", text, 100), 0);
    EXPECT_EQ(text, std::string(100, 'b'));
    EXPECT_EQ(compat::read_file_at(dir.get(), "version/x", text), ENOTDIR);

    // Reset points the stand-in back at the live machine.
    norvik_script_reset();
    EXPECT_EQ(compat::host_root(), "/");
    ASSERT_EQ(compat::read_host_file("proc/self/stat", text), 0);
    EXPECT_EQ(text.substr(0, text.find(' ')), std::to_string(getpid()));
}

TEST(Fd, ClosesWhatItOwnsOnceAndOnlyThat) {
    int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(raw, 0);
    {
        compat::Fd a(raw);
        compat::Fd b(std::move(a));
        EXPECT_FALSE(a.valid());
        EXPECT_EQ(b.get(), raw);
        compat::Fd c;
        c = std::move(b);
        EXPECT_EQ(c.get(), raw);
        EXPECT_EQ(fcntl(raw, F_GETFD), FD_CLOEXEC);
    }
    EXPECT_EQ(fcntl(raw, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);

    int kept = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    {
        compat::Fd d(kept);
        EXPECT_EQ(d.release(), kept);
    }
    EXPECT_EQ(fcntl(kept, F_GETFD), FD_CLOEXEC);
    ::close(kept);
}

// The shapes host text comes in, on the forms the host really writes:
// "Key:\tvalue kB" (status, meminfo), "key value" (vmstat), blank fields.
TEST(HostText, KeysFieldsAndLines) {
    const std::string_view meminfo = "MemTotal:       24570000 kB\nMemFree:\t100 kB\nEmpty:\nLast: 7";
    EXPECT_EQ(compat::key_number<long>(meminfo, "MemTotal", -1), 24570000);
    EXPECT_EQ(compat::key_number<long>(meminfo, "MemFree", -1), 100);
    EXPECT_EQ(compat::key_number<long>(meminfo, "Last", -1), 7);  // no final newline
    EXPECT_EQ(compat::key_number<long>(meminfo, "Mem", -1), -1);  // a prefix is no key
    EXPECT_EQ(compat::key_number<long>(meminfo, "Empty", -1), -1);
    EXPECT_NE(compat::key_value(meminfo, "Empty").data(), nullptr);  // present, empty
    EXPECT_EQ(compat::key_value(meminfo, "Absent").data(), nullptr);
    EXPECT_EQ(compat::key_number<long>("pswpin 12\npswpout 34\n", "pswpout", -1, ' '), 34);

    std::string_view rest = "cpu  1 2\t3\n";
    EXPECT_EQ(compat::next_token(rest), "cpu");
    long values[4] = {};
    EXPECT_EQ(compat::leading_numbers(rest, values, 4), 3);
    EXPECT_EQ(values[2], 3);

    std::string_view lines = "a\n\nb";
    EXPECT_EQ(compat::next_line(lines), "a");
    EXPECT_EQ(compat::next_line(lines), "");
    EXPECT_EQ(compat::next_line(lines), "b");
    EXPECT_TRUE(lines.empty());
}

TEST_F(CapturedTree, FileTextReadsSmallAndLargeFilesUnderTheRoot) {
    ASSERT_EQ(norvik_script_set_root(root_.c_str()), 0);
    compat::FileText text;
    ASSERT_EQ(text.read_host("proc/version"), 0);
    EXPECT_EQ(text.view(), "Linux version 9.9.9-captured\n");
    ASSERT_EQ(text.read_host("proc/big"), 0);  // past the fixed buffer
    EXPECT_EQ(text.view(), std::string(10000, 'b'));
    EXPECT_EQ(text.read_host("proc/missing"), ENOENT);
}

}  // namespace
