// Reading and splitting the host's text files (/proc, /sys): every stand-in
// answer built from host text reads and parses it through these.
//
// Three ways to read a file, by its size and use:
// - FileText: a small file (a process's stat, a sysfs value) into a buffer of
//   the caller's, with no allocation in the common case;
// - read_whole_at: a file of any length into a string, in large reads;
// - LineReader: a table of any length line by line through one fixed buffer.
// And the shapes their contents come in: blank-separated fields, lines, and
// "Key: value" or "key value" lists (status, io, meminfo, vmstat).
#pragma once

#include <charconv>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace compat {

// ---- numbers and fields ------------------------------------------------------

// Parses a whole decimal number at the start of text; false when there is none
// or it does not fit T.
template <typename T>
bool to_number(std::string_view text, T& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end != text.data();
}

// The next run of characters other than blanks (space, tab, newline), taken
// off the front of rest; empty at the end.
std::string_view next_token(std::string_view& rest);

// The next line of rest without its newline, taken off the front of rest; a
// last line without a newline counts. Check rest.empty() before calling.
std::string_view next_line(std::string_view& rest);

// Up to n blank-separated numbers at the front of text, stored in out; returns
// how many were read (stops at the first token that is not a number).
template <typename T>
int leading_numbers(std::string_view text, T* out, int n) {
    int got = 0;
    while (got < n) {
        std::string_view token = next_token(text);
        if (token.empty() || !to_number(token, out[got])) break;
        ++got;
    }
    return got;
}

// The rest of the first line of text that begins with key followed by sep
// (":" in status, io and meminfo; " " in vmstat), or empty when no line does.
// A null view (data() == nullptr) tells "absent" from "present but empty".
std::string_view key_value(std::string_view text, std::string_view key, char sep = ':');

// The first number after key (see key_value), or fallback when the key is
// absent or holds no number.
template <typename T>
T key_number(std::string_view text, std::string_view key, T fallback, char sep = ':') {
    T value{};
    return leading_numbers(key_value(text, key, sep), &value, 1) == 1 ? value : fallback;
}

// ---- reading files -----------------------------------------------------------

// A host file's text: in a fixed buffer when it fits, which keeps the common
// case (a small /proc or /sys file) free of allocation, else on the heap (at
// most 1 MiB). Files the host generates whole per read are read in one call.
class FileText {
public:
    // Returns 0 or the errno of the failed open or read.
    int read_at(int dirfd, const char* name);
    // The same for a path relative to the host root.
    int read_host(std::string_view rel);
    std::string_view view() const {
        return heap_.empty() ? std::string_view(small_, len_) : std::string_view(heap_);
    }

private:
    int read_fd(int fd);
    int read_rest(int fd);

    char small_[4096];
    std::size_t len_ = 0;
    std::string heap_;
};

// A small host file's first line (a sysfs value), trimmed of its newline;
// empty when unreadable.
std::string host_line(std::string_view rel);

// A small host file's leading integer (a sysfs value); false when unreadable
// or not a number.
template <typename T>
bool host_number(std::string_view rel, T& value) {
    FileText text;
    return text.read_host(rel) == 0 && leading_numbers(text.view(), &value, 1) == 1;
}

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

}  // namespace compat
