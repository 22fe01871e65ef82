#include "linux/proc_reads.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "linux/host_files.h"
#include "linux/proc_records.h"

namespace compat {

int read_link_at(int dirfd, const char* name, std::string& out) {
    // Linux paths are at most 4096 bytes; a longer answer would be cut.
    char buf[4097];
    ssize_t n = ::readlinkat(dirfd, name, buf, sizeof buf);
    if (n < 0) return errno;
    out.assign(buf, static_cast<std::size_t>(n));
    return 0;
}

namespace {

// The state letter after the command name of a stat line, or '\0' where
// there is none: the name in parentheses may hold anything, ')' included,
// and an empty file is what the host shows once the process has been reaped.
char state_after_name(std::string_view stat) {
    const auto close = stat.rfind(')');
    return close == std::string_view::npos || close + 2 >= stat.size() ? '\0' : stat[close + 2];
}

}  // namespace

int read_state_letter(int dirfd, char& letter) {
    std::string stat;
    if (int err = read_file_at(dirfd, "stat", stat, 4096); err != 0) return process_refusal(err);
    letter = state_after_name(stat);
    return letter == '\0' ? ESRCH : 0;
}

int check_live_process(int pid) {
    if (pid == ::getpid()) return 0;
    Fd group;
    int tid = 0;
    return find_live_process(pid, group, tid);
}

int process_real_uid(int dir, unsigned& uid) {
    FileText status;
    if (int err = status.read_at(dir, "status"); err != 0) return process_refusal(err);
    return leading_numbers(key_value(status.view(), "Uid"), &uid, 1) == 1 ? 0 : ESRCH;
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
