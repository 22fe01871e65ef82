#include "linux/host_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <mutex>
#include <vector>

namespace compat {
namespace {

// The descriptors Fds own: one bit each below kBitmapFds, taken without a
// lock by the threads that build a table together; a sorted list beyond.
constexpr int kBitmapFds = 1 << 14;
std::atomic<std::uint64_t> held_bits[kBitmapFds / 64];

std::mutex& high_lock() {
    static std::mutex lock;
    return lock;
}
std::vector<int>& high_fds() {
    static std::vector<int> fds;
    return fds;
}

void note_held(int fd) {
    if (fd < 0) return;
    if (fd < kBitmapFds) {
        held_bits[fd / 64].fetch_or(1ULL << (fd % 64), std::memory_order_relaxed);
        return;
    }
    std::lock_guard<std::mutex> guard(high_lock());
    auto& fds = high_fds();
    fds.insert(std::lower_bound(fds.begin(), fds.end(), fd), fd);
}

void note_released(int fd) {
    if (fd < 0) return;
    if (fd < kBitmapFds) {
        held_bits[fd / 64].fetch_and(~(1ULL << (fd % 64)), std::memory_order_relaxed);
        return;
    }
    std::lock_guard<std::mutex> guard(high_lock());
    auto& fds = high_fds();
    auto it = std::lower_bound(fds.begin(), fds.end(), fd);
    if (it != fds.end() && *it == fd) fds.erase(it);
}

// Closes a descriptor an Fd owned. It stops counting as the stand-in's
// first: a descriptor number never counts as the stand-in's while it may
// already be the caller's again.
void close_held(int fd) {
    if (fd < 0) return;
    note_released(fd);
    ::close(fd);
}

}  // namespace

Fd::Fd(int fd) : fd_(fd) { note_held(fd); }

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        close_held(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Fd::~Fd() { close_held(fd_); }

int Fd::release() {
    int fd = fd_;
    fd_ = -1;
    note_released(fd);
    return fd;
}

bool held_by_stand_in(int fd) {
    if (fd < 0) return false;
    if (fd < kBitmapFds) return (held_bits[fd / 64].load(std::memory_order_relaxed) >> (fd % 64)) & 1;
    std::lock_guard<std::mutex> guard(high_lock());
    const auto& fds = high_fds();
    return std::binary_search(fds.begin(), fds.end(), fd);
}

void drop_stand_in_descriptors(int pid, std::vector<int>& fds) {
    if (pid != ::getpid()) return;
    fds.erase(std::remove_if(fds.begin(), fds.end(), held_by_stand_in), fds.end());
}

namespace {

bool has_prefix(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The number inside "kind:[123]", or 0.
std::uint64_t bracketed(std::string_view text) {
    const auto open = text.find('[');
    std::uint64_t value = 0;
    if (open != std::string_view::npos)
        std::from_chars(text.data() + open + 1, text.data() + text.size(), value);
    return value;
}

}  // namespace

LinkTarget classify_link(std::string_view text) {
    LinkTarget target;
    if (!text.empty() && text[0] == '/') {
        target.kind = LinkTarget::Kind::path;
        target.deleted_mark = text.size() > kDeletedMark.size() &&
                              text.substr(text.size() - kDeletedMark.size()) == kDeletedMark;
    } else if (has_prefix(text, "socket:")) {
        target.kind = LinkTarget::Kind::socket;
        target.inode = bracketed(text);
    } else if (has_prefix(text, "pipe:")) {
        target.kind = LinkTarget::Kind::pipe;
        target.inode = bracketed(text);
    } else if (has_prefix(text, "anon_inode:")) {
        const std::string_view what = text.substr(11);
        if (what.find("eventfd") != std::string_view::npos)
            target.kind = LinkTarget::Kind::eventfd;
        else if (what.find("eventpoll") != std::string_view::npos)
            target.kind = LinkTarget::Kind::event_queue;
        else if (what.find("pidfd") != std::string_view::npos)
            target.kind = LinkTarget::Kind::process;
    }
    return target;
}

bool name_still_holds(int process_dir, std::string_view text, std::uint64_t inode) {
    // The name as the process sees it, under its own root.
    std::string rel = "root";
    rel.append(text);
    struct stat st;
    return ::fstatat(process_dir, rel.c_str(), &st, 0) == 0 && st.st_ino == inode;
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
