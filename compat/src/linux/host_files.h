// Reading the host's /proc and /sys through one root.
//
// Every host file the stand-in reads is named relative to the root ("proc/1/stat"),
// which is "/" on a live machine and may be pointed at a captured tree by tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace compat {

// An owned file descriptor, closed when it goes out of scope. While an Fd
// owns it, the descriptor counts as one the stand-in holds (below).
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd);
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept;
    ~Fd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();

private:
    int fd_ = -1;
};

// Whether the stand-in itself holds the descriptor open (an Fd owns it). The
// kernel opens nothing to describe a process's descriptors
// (kern_proc_filedesc_out, sysctl_kern_file): a listing of the calling
// process leaves these out.
bool held_by_stand_in(int fd);

// Takes the descriptors the stand-in holds out of a listing of process
// pid's descriptors, when pid is the calling process.
void drop_stand_in_descriptors(int pid, std::vector<int>& fds);

// What the link text of a descriptor under /proc/<pid>/fd names.
struct LinkTarget {
    enum class Kind {
        path,         // a file with a name: "/dir/file"
        socket,       // "socket:[inode]"
        pipe,         // "pipe:[inode]"
        eventfd,      // "anon_inode:[eventfd]"
        event_queue,  // "anon_inode:[eventpoll]", the host's kqueue
        process,      // "anon_inode:[pidfd]", a process descriptor
        other,        // another anonymous inode, or a kind FreeBSD has not
    };
    Kind kind = Kind::other;
    std::uint64_t inode = 0;  // of a socket or a pipe
    // The host appends " (deleted)" to the name of a file whose name was
    // removed, and to nothing else; a real name may end so too.
    bool deleted_mark = false;
};
LinkTarget classify_link(std::string_view text);

// The host's mark after a removed file's name.
inline constexpr std::string_view kDeletedMark = " (deleted)";

// Whether a name the host gave with the deleted mark is still the name of
// the file with this inode in the process's view of the file system
// (process_dir: its /proc/<pid> folder): a file whose real name ends in the
// mark. A name that is gone is one the kernel could not give (vn_fullpath).
bool name_still_holds(int process_dir, std::string_view text, std::uint64_t inode);

// The folder host paths are read under; always ends with '/'.
const std::string& host_root();
void set_host_root(std::string_view root);

// Opens a path relative to the root (no leading '/'). Returns an invalid Fd
// with errno set on failure.
Fd open_host(std::string_view rel, int flags);

// Reads a whole file, at most max bytes, relative to a directory descriptor.
// Returns 0, or the errno of the failed open or read.
int read_file_at(int dirfd, const char* name, std::string& out, std::size_t max = 1 << 20);

// Reads a whole file named relative to the root.
int read_host_file(std::string_view rel, std::string& out, std::size_t max = 1 << 20);

}  // namespace compat
