#include "linux/host_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace compat {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

int Fd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

namespace {
std::string& root_storage() {
    static std::string root = "/";
    return root;
}
}  // namespace

const std::string& host_root() { return root_storage(); }

void set_host_root(std::string_view root) {
    std::string value(root.empty() ? "/" : root);
    if (value.back() != '/') value.push_back('/');
    root_storage() = std::move(value);
}

Fd open_host(std::string_view rel, int flags) {
    std::string path = host_root();
    path.append(rel);
    return Fd(::open(path.c_str(), flags | O_CLOEXEC));
}

namespace {
int read_all(int fd, std::string& out, std::size_t max) {
    out.clear();
    char chunk[4096];
    while (out.size() < max) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        out.append(chunk, static_cast<std::size_t>(n));
    }
    if (out.size() > max) out.resize(max);
    return 0;
}
}  // namespace

int read_file_at(int dirfd, const char* name, std::string& out, std::size_t max) {
    Fd fd(::openat(dirfd, name, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return errno;
    return read_all(fd.get(), out, max);
}

int read_host_file(std::string_view rel, std::string& out, std::size_t max) {
    Fd fd = open_host(rel, O_RDONLY);
    if (!fd.valid()) return errno;
    return read_all(fd.get(), out, max);
}

}  // namespace compat
