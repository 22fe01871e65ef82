// Small readers shared by the per-process tables: whole /proc files of any
// length, symbolic links, and the FreeBSD error a refused read stands for.
#pragma once

#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "linux/host_failure.h"
#include "linux/host_files.h"
#include "linux/host_text.h"

namespace compat {

// Reads a symbolic link relative to a directory descriptor into out.
// Returns 0 or the errno of readlinkat.
int read_link_at(int dirfd, const char* name, std::string& out);

// The state letter of the process's /proc/<pid>/stat ('R', 'S', 'Z' ...).
// Returns 0, ESRCH when the process has gone, or the errno of a read that
// failed otherwise (see process_refusal).
int read_state_letter(int dirfd, char& letter);

// Whether the process lives, as FreeBSD's pfind finds one: a process that
// has gone, a zombie, or a thread id is ESRCH (see find_live_process).
// Returns 0, ESRCH, or the errno of a read that failed otherwise (see
// process_refusal).
int check_live_process(int pid);

// The real user id (the first field of Uid: in its status) of the process
// whose /proc folder is `dir`. Returns 0 or the errno of the read.
int process_real_uid(int dir, unsigned& uid);

}  // namespace compat

#include "script/script.h"

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
