#include "linux/host_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "linux/host_files.h"

namespace compat {

// A plain loop rather than a character-set search: the fields are short and many.
std::string_view next_token(std::string_view& rest) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
    std::size_t start = 0;
    while (start < rest.size() && blank(rest[start])) ++start;
    std::size_t end = start;
    while (end < rest.size() && !blank(rest[end])) ++end;
    std::string_view token = rest.substr(start, end - start);
    rest.remove_prefix(end);
    return token;
}

std::string_view next_line(std::string_view& rest) {
    const auto eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 1);
    return line;
}

std::string_view key_value(std::string_view text, std::string_view key, char sep) {
    while (!text.empty()) {
        std::string_view line = next_line(text);
        if (line.size() > key.size() && line[key.size()] == sep && line.substr(0, key.size()) == key)
            return line.substr(key.size() + 1);
    }
    return {};
}

int FileText::read_at(int dirfd, const char* name) {
    Fd fd(::openat(dirfd, name, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return errno;
    return read_fd(fd.get());
}

int FileText::read_host(std::string_view rel) {
    Fd fd = open_host(rel, O_RDONLY);
    if (!fd.valid()) return errno;
    return read_fd(fd.get());
}

int FileText::read_fd(int fd) {
    len_ = 0;
    heap_.clear();
    for (;;) {
        const std::size_t room = sizeof small_ - len_;
        ssize_t n = ::read(fd, small_ + len_, room);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        len_ += static_cast<std::size_t>(n);
        // The host's /proc and /sys files come whole from one read: a
        // shorter answer than asked for is the end, and saves the call that
        // would only say so.
        if (n == 0 || static_cast<std::size_t>(n) < room) return 0;
        if (len_ == sizeof small_) break;
    }
    heap_.assign(small_, len_);
    return read_rest(fd);
}

int FileText::read_rest(int fd) {
    char chunk[4096];
    while (heap_.size() < (1u << 20)) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        heap_.append(chunk, static_cast<std::size_t>(n));
    }
    return 0;
}

std::string host_line(std::string_view rel) {
    FileText text;
    if (text.read_host(rel) != 0) return {};
    std::string_view rest = text.view();
    return rest.empty() ? std::string() : std::string(next_line(rest));
}

int read_whole_at(int dirfd, const char* name, std::string& out) {
    out.clear();
    Fd fd(::openat(dirfd, name, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return errno;
    // Each read asks for all the room left, doubling it when it runs out:
    // the kernel then generates long files in few calls.
    constexpr std::size_t kFirst = 1 << 16;
    std::size_t used = 0;
    if (out.capacity() < kFirst) out.reserve(kFirst);
    out.resize(out.capacity());
    for (;;) {
        if (used == out.size()) out.resize(out.size() * 2);
        ssize_t n = ::read(fd.get(), out.data() + used, out.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            out.clear();
            return err;
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    out.resize(used);
    return 0;
}

bool LineReader::next(std::string_view& line) {
    for (;;) {
        const char* start = buf_.get() + begin_;
        const void* nl = std::memchr(start, '\n', end_ - begin_);
        if (nl != nullptr) {
            const std::size_t len = static_cast<const char*>(nl) - start;
            line = std::string_view(start, len);
            begin_ += len + 1;
            return true;
        }
        if (eof_ || error_ != 0) {
            if (begin_ == end_) return false;
            line = std::string_view(start, end_ - begin_);  // a last line without newline
            begin_ = end_;
            return true;
        }
        if (begin_ == 0 && end_ == kSize) {  // a line longer than the buffer: hand over a piece
            line = std::string_view(buf_.get(), kSize);
            begin_ = end_ = 0;
            return true;
        }
        std::memmove(buf_.get(), start, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        ssize_t n = ::read(fd_, buf_.get() + end_, kSize - end_);
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
        } else if (n == 0) {
            eof_ = true;
        } else {
            end_ += static_cast<std::size_t>(n);
        }
    }
}

}  // namespace compat
