// Reading the host's /proc and /sys through one root.
//
// Every host file the stand-in reads is named relative to the root ("proc/1/stat"),
// which is "/" on a live machine and may be pointed at a captured tree by tests.
#pragma once

#include <string>
#include <string_view>

namespace compat {

// An owned file descriptor, closed when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    ~Fd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();

private:
    int fd_ = -1;
};

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
