// kern.file built on several threads from a captured process table: more
// processes than one thread takes at a time, one with more descriptors than
// one piece, one that went while the table was read. Every record must come
// out in FreeBSD's order (newest process first, descriptors ascending),
// none lost, none doubled, each with its own fields.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <cstring>
#include <string>
#include <vector>

#include "captured_tree.h"
#include "freebsd/base.h"
#include "freebsd/sys/file.h"
#include "freebsd/sys/sysctl.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSocket = freebsd::DTYPE_SOCKET;
constexpr int kPipe = freebsd::DTYPE_PIPE;
constexpr int kVnode = freebsd::DTYPE_VNODE;

struct Record {
    int pid;
    int fd;
    int type;
    std::uint64_t data;  // a socket's inode; 0 for others
    bool operator==(const Record&) const = default;
};

class KernFileTree : public CapturedTreeTest {
protected:
    // A process with descriptors fds, each a socket, a pipe or a file by
    // its number; slots: its FDSize ("" for none).
    void process(int pid, const std::vector<int>& fds, const std::string& slots) {
        const fs::path dir = root_ / "proc" / std::to_string(pid);
        fs::create_directories(dir / "fd");
        write_file(fs::path("proc") / std::to_string(pid) / "status",
                   "Name:\tp\nUid:\t0\t0\t0\t0\n" + (slots.empty() ? "" : "FDSize:\t" + slots + "\n"));
        for (int fd : fds) {
            fs::create_symlink(target(pid, fd), dir / "fd" / std::to_string(fd));
            expected_.push_back({pid, fd, type_of(fd), type_of(fd) == kSocket ? inode(pid, fd) : 0});
        }
    }
    static int type_of(int fd) { return fd % 3 == 0 ? kSocket : fd % 3 == 1 ? kPipe : kVnode; }
    static std::uint64_t inode(int pid, int fd) { return 100000ULL * pid + fd; }
    static std::string target(int pid, int fd) {
        switch (type_of(fd)) {
            case kSocket:
                return "socket:[" + std::to_string(inode(pid, fd)) + "]";
            case kPipe:
                return "pipe:[77]";
            default:
                return "/var/file" + std::to_string(fd);
        }
    }
    // The table as read, or the errno of a failed read.
    int read_table(std::vector<Record>& out) {
        std::string bytes(8 << 20, '\0');
        std::size_t len = bytes.size();
        if (freebsd::sysctlbyname("kern.file", bytes.data(), &len, nullptr, 0) != 0) return errno;
        for (std::size_t pos = 0; pos + sizeof(freebsd::xfile) <= len; pos += sizeof(freebsd::xfile)) {
            freebsd::xfile xf;
            std::memcpy(&xf, bytes.data() + pos, sizeof xf);
            EXPECT_EQ(xf.xf_size, sizeof xf);
            const bool socket = xf.xf_type == kSocket;
            out.push_back({xf.xf_pid, xf.xf_fd, xf.xf_type, socket ? xf.xf_data : 0});
            if (!socket) {
                EXPECT_NE(xf.xf_data >> 63, 0U) << "pid " << xf.xf_pid << " fd " << xf.xf_fd;
            }
        }
        return 0;
    }

    std::vector<Record> expected_;  // in the order the processes were made
};

// Processes are made oldest first, so the table lists them in reverse.
std::vector<Record> newest_first(const std::vector<Record>& made) {
    std::vector<Record> out;
    for (auto end = made.end(); end != made.begin();) {
        auto begin = end - 1;
        while (begin != made.begin() && (begin - 1)->pid == begin->pid) --begin;
        out.insert(out.end(), begin, end);
        end = begin;
    }
    return out;
}

TEST_F(KernFileTree, EveryRecordInOrderOnEveryThread) {
    std::size_t slots = 0;
    for (int pid = 200; pid < 240; ++pid) {
        std::vector<int> fds;
        if (pid == 215) {
            for (int fd = 0; fd < 2600; fd += 2) fds.push_back(fd);  // three pieces, with gaps
        } else {
            for (int fd = 0; fd <= pid % 7; ++fd) fds.push_back(fd * 5);
        }
        // Some give their slots, others only their descriptors.
        process(pid, fds, pid % 2 == 0 ? std::to_string(64 + pid) : "");
        slots += pid % 2 == 0 ? 64 + pid : fds.size();
    }
    // A process that went while the table was read: its folder without fd/
    // (and, giving no slots in its status, none counted for it either).
    fs::remove_all(root_ / "proc/233/fd");
    slots -= static_cast<std::size_t>(std::erase_if(expected_, [](const Record& r) { return r.pid == 233; }));
    use_as_root();

    std::vector<Record> table;
    ASSERT_EQ(read_table(table), 0);
    EXPECT_EQ(table, newest_first(expected_));
    std::size_t size = 0;
    ASSERT_EQ(freebsd::sysctlbyname("kern.file", nullptr, &size, nullptr, 0), 0);
    EXPECT_EQ(size, slots * sizeof(freebsd::xfile));
}

// A read the host fails for another reason than absence fails the whole
// table with its errno, wherever the process lies among the threads' shares.
TEST_F(KernFileTree, AFailedReadFailsTheTable) {
    for (int pid = 300; pid < 340; ++pid) process(pid, {0, 1, 2}, "64");
    struct Case {
        int pid;
        int err;
    };
    for (const Case& c : {Case{339, ENOTDIR}, Case{317, ENOTDIR}, Case{300, ENOTDIR}}) {
        const fs::path fd_dir = root_ / "proc" / std::to_string(c.pid) / "fd";
        fs::rename(fd_dir, root_ / "saved");
        write_file(fs::path("proc") / std::to_string(c.pid) / "fd", "not a folder\n");
        use_as_root();
        std::vector<Record> table;
        EXPECT_EQ(read_table(table), c.err) << c.pid;
        fs::remove(fd_dir);
        fs::rename(root_ / "saved", fd_dir);
        table.clear();
        EXPECT_EQ(read_table(table), 0);
        EXPECT_EQ(table, newest_first(expected_));
    }
}

// A live child whose descriptors are exactly `fds`: kern.file lists those
// and no others for it, whether they run 0 to n-1 or leave gaps.
TEST(KernFileLive, AProcesssDescriptorsDenseOrNot) {
    const std::vector<std::vector<int>> cases = {
        {0, 1, 2}, {0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 40}, {0, 2, 3}, {1, 2, 3}, {0, 1, 2, 3, 70, 71},
    };
    for (const std::vector<int>& fds : cases) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Descriptor 0 of the child opens each of its numbers; the
            // readiness pipe goes last, then everything not asked for.
            const int devnull = ::open("/dev/null", O_RDONLY);
            const int keep = ::fcntl(ready[1], F_DUPFD, 100);
            for (long fd = 0; fd < ::sysconf(_SC_OPEN_MAX); ++fd)
                if (fd != devnull && fd != keep) ::close(static_cast<int>(fd));
            for (int fd : fds) ::dup2(devnull, fd);
            if (std::find(fds.begin(), fds.end(), devnull) == fds.end()) ::close(devnull);
            const char byte = 1;
            (void)::write(keep, &byte, 1);
            ::close(keep);
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        // The end of the pipe: the child has closed its last end of it too.
        ASSERT_EQ(::read(ready[0], &byte, 1), 0);
        ::close(ready[0]);
        std::string bytes(8 << 20, '\0');
        std::size_t len = bytes.size();
        ASSERT_EQ(freebsd::sysctlbyname("kern.file", bytes.data(), &len, nullptr, 0), 0);
        std::vector<int> listed;
        for (std::size_t pos = 0; pos + sizeof(freebsd::xfile) <= len; pos += sizeof(freebsd::xfile)) {
            freebsd::xfile xf;
            std::memcpy(&xf, bytes.data() + pos, sizeof xf);
            if (xf.xf_pid == child) listed.push_back(xf.xf_fd);
        }
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        EXPECT_EQ(listed, fds);
    }
}

// The calling process's rows are its own descriptors, exactly: not those
// the table's builders hold open while they work on every CPU.
TEST(KernFileLive, TheCallersOwnDescriptorsAndNoOthers) {
    std::vector<int> opened;
    for (int i = 0; i < 4; ++i) opened.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ::close(opened[1]);  // a gap
    std::vector<int> expected;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
        expected.push_back(std::stoi(entry.path().filename()));
    // The listing held a descriptor of its own, closed now: the lowest
    // number it could take that is not open now.
    std::sort(expected.begin(), expected.end());
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        if (::fcntl(*it, F_GETFD) == -1) {
            expected.erase(it);
            break;
        }
    }
    std::string bytes(8 << 20, '\0');
    std::size_t len = bytes.size();
    ASSERT_EQ(freebsd::sysctlbyname("kern.file", bytes.data(), &len, nullptr, 0), 0);
    std::vector<int> listed;
    for (std::size_t pos = 0; pos + sizeof(freebsd::xfile) <= len; pos += sizeof(freebsd::xfile)) {
        freebsd::xfile xf;
        std::memcpy(&xf, bytes.data() + pos, sizeof xf);
        if (xf.xf_pid == ::getpid()) listed.push_back(xf.xf_fd);
    }
    for (int fd : opened)
        if (fd != opened[1]) ::close(fd);
    EXPECT_EQ(listed, expected);
}

}  // namespace

