#include "proc_reads.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_files.h"

namespace compat {

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

int read_link_at(int dirfd, const char* name, std::string& out) {
    // Linux paths are at most 4096 bytes; a longer answer would be cut.
    char buf[4097];
    ssize_t n = ::readlinkat(dirfd, name, buf, sizeof buf);
    if (n < 0) return errno;
    out.assign(buf, static_cast<std::size_t>(n));
    return 0;
}

int process_refusal(int err) {
    switch (err) {
        case ENOENT:
        case ESRCH:
            return ESRCH;
        case EACCES:
            return EPERM;
        default:
            return err;
    }
}

char state_letter(int dirfd) {
    std::string stat;
    if (read_file_at(dirfd, "stat", stat, 4096) != 0) return 0;
    // The command name in parentheses may hold anything, ')' included.
    auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return 0;
    return stat[close + 2];
}

void* records_from_answer(const std::string& answer, std::size_t record_size, int* count) {
    const std::size_t n = answer.size() / record_size;
    // Never a zero-byte block: the caller tells failure by NULL alone.
    void* block = std::malloc(n == 0 ? 1 : n * record_size);
    if (block == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (n != 0) std::memcpy(block, answer.data(), n * record_size);
    *count = static_cast<int>(n);
    return block;
}

}  // namespace compat
