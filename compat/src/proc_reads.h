// Small readers shared by the per-process tables: whole /proc files of any
// length, symbolic links, and the FreeBSD error a refused read stands for.
#pragma once

#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace compat {

// Reads a whole file relative to a directory descriptor, however long it is,
// in large chunks (the kernel generates some /proc files per read call).
// Returns 0 or the errno of the failed open or read.
int read_whole_at(int dirfd, const char* name, std::string& out);

// Reads a file line by line through one fixed buffer, however long the file:
// a large /proc table never needs a buffer of its own size. Lines longer than
// the buffer (none of the host's tables has them) come in pieces.
class LineReader {
public:
    // The buffer is on the heap: callers may run on small thread stacks.
    explicit LineReader(int fd) : fd_(fd), buf_(new char[kSize]) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line without its newline; false at the end or on an error.
    bool next(std::string_view& line);
    // 0, or the errno of a failed read.
    int error() const { return error_; }

private:
    static constexpr std::size_t kSize = 1 << 16;
    int fd_;
    int error_ = 0;
    bool eof_ = false;
    std::size_t begin_ = 0;  // first unread byte
    std::size_t end_ = 0;    // one past the last byte read
    std::unique_ptr<char[]> buf_;
};

// Reads a symbolic link relative to a directory descriptor into out.
// Returns 0 or the errno of readlinkat.
int read_link_at(int dirfd, const char* name, std::string& out);

// The error FreeBSD gives where the host refused to read a process's file:
// a process that has gone is ESRCH, another user's process EPERM.
int process_refusal(int err);

// The state letter of the process's /proc/<pid>/stat ('R', 'S', 'Z' ...),
// or 0 when the process has gone.
char state_letter(int dirfd);

}  // namespace compat

#include "script.h"

namespace compat {

// Copies a scripted answer of back-to-back records into a malloc'ed array
// the caller frees; *count is the number of whole records (trailing bytes
// are ignored). Returns NULL with errno ENOMEM when memory runs out.
void* records_from_answer(const std::string& answer, std::size_t record_size, int* count);

// A libutil table call: the scripted answer when the overlay has one, else
// the table build(pid, &records, &count) makes from the host (0 or an errno).
// Returns the malloc'ed records, or NULL with errno set.
template <typename Record, typename Build>
Record* scripted_or_built_table(const char* call, int pid, int* cntp, Build build) {
    auto outcome = script::consult_call(call, pid);
    if (outcome.fail) {
        errno = outcome.err;
        return nullptr;
    }
    try {
        if (outcome.answer != nullptr)
            return static_cast<Record*>(records_from_answer(*outcome.answer, sizeof(Record), cntp));
        Record* records = nullptr;
        int count = 0;
        if (int err = build(pid, &records, &count); err != 0) {
            errno = err;
            return nullptr;
        }
        *cntp = count;
        return records;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
}

}  // namespace compat
