// Reading host files through the stand-in's root.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "captured_tree.h"
#include "host_files.h"
#include "script.h"

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

}  // namespace
