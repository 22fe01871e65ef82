// Reading host files through the stand-in's root.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// A descriptor counts as the stand-in's exactly while an Fd owns it, moved
// or not, and the numbers beyond the quick bitmap too; a descriptor the
// caller opened never does.
TEST(Fd, CountsAsTheStandInsExactlyWhileOwned) {
    const int callers = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(callers, 0);
    EXPECT_FALSE(compat::held_by_stand_in(callers));
    EXPECT_FALSE(compat::held_by_stand_in(-1));
    struct Case {
        const char* what;
        int number;  // where to put the descriptor; -1: where open puts it
    };
    const Case cases[] = {{"low", -1}, {"beyond the bitmap", 17000}};
    struct rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const struct rlimit before = limit;
    if (limit.rlim_cur < 17001 && limit.rlim_max >= 17001) {
        limit.rlim_cur = 17001;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    for (const Case& c : cases) {
        int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << c.what;
        if (c.number >= 0) {
            const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, c.number);
            ::close(fd);
            if (moved < 0) continue;  // the limit on descriptors is lower here
            fd = moved;
        }
        {
            compat::Fd owner(fd);
            EXPECT_TRUE(compat::held_by_stand_in(fd)) << c.what;
            compat::Fd moved(std::move(owner));
            EXPECT_TRUE(compat::held_by_stand_in(fd)) << c.what;
            compat::Fd assigned;
            assigned = std::move(moved);
            EXPECT_TRUE(compat::held_by_stand_in(fd)) << c.what;
            std::vector<int> listing = {callers, fd};
            compat::drop_stand_in_descriptors(::getpid(), listing);
            EXPECT_EQ(listing, std::vector<int>{callers}) << c.what;
            listing = {callers, fd};
            compat::drop_stand_in_descriptors(::getppid(), listing);  // another process's numbers
            EXPECT_EQ(listing.size(), 2u) << c.what;
        }
        EXPECT_FALSE(compat::held_by_stand_in(fd)) << c.what;
        const int released = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        {
            compat::Fd owner(released);
            EXPECT_EQ(owner.release(), released);
        }
        EXPECT_FALSE(compat::held_by_stand_in(released)) << c.what;  // the caller's now
        ::close(released);
    }
    ::close(callers);
    ::setrlimit(RLIMIT_NOFILE, &before);
}

// What a descriptor's link text names, as the host writes it.
TEST(LinkText, KindInodeAndDeletedMark) {
    using Kind = compat::LinkTarget::Kind;
    struct Case {
        const char* text;
        Kind kind;
        std::uint64_t inode;
        bool deleted_mark;
    };
    const Case cases[] = {
        {"/data/a.txt", Kind::path, 0, false},
        {"/data/gone.txt (deleted)", Kind::path, 0, true},
        {"/memfd:cache (deleted)", Kind::path, 0, true},
        {"/ (deleted)", Kind::path, 0, true},
        {" (deleted)", Kind::other, 0, false},  // not a path
        {"/data/(deleted)", Kind::path, 0, false},
        {"socket:[123456]", Kind::socket, 123456, false},
        {"pipe:[77]", Kind::pipe, 77, false},
        {"anon_inode:[eventfd]", Kind::eventfd, 0, false},
        {"anon_inode:[eventpoll]", Kind::event_queue, 0, false},
        {"anon_inode:[pidfd]", Kind::process, 0, false},
        {"anon_inode:[signalfd]", Kind::other, 0, false},
        {"anon_inode:inotify", Kind::other, 0, false},
        {"net:[4026531840]", Kind::other, 0, false},
        {"", Kind::other, 0, false},
    };
    for (const Case& c : cases) {
        const compat::LinkTarget got = compat::classify_link(c.text);
        EXPECT_EQ(got.kind, c.kind) << c.text;
        EXPECT_EQ(got.inode, c.inode) << c.text;
        EXPECT_EQ(got.deleted_mark, c.deleted_mark) << c.text;
    }
}

// A marked name holds when, under the process's root, it names a file of
// the same inode: a real name that ends in the mark.
TEST_F(CapturedTree, AMarkedNameHoldsOnlyForItsOwnFile) {
    write_file("proc/77/x", "");
    std::filesystem::create_symlink(root_, root_ / "proc" / "77" / "root");
    write_file("data/real (deleted)", "r");
    write_file("data/other", "o");
    struct stat real{}, other{};
    ASSERT_EQ(::stat((root_ / "data" / "real (deleted)").c_str(), &real), 0);
    ASSERT_EQ(::stat((root_ / "data" / "other").c_str(), &other), 0);
    const compat::Fd dir(::open((root_ / "proc" / "77").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir.valid());
    EXPECT_TRUE(compat::name_still_holds(dir.get(), "/data/real (deleted)", real.st_ino));
    EXPECT_FALSE(compat::name_still_holds(dir.get(), "/data/real (deleted)", other.st_ino));
    EXPECT_FALSE(compat::name_still_holds(dir.get(), "/data/gone (deleted)", real.st_ino));
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
