// Small readers shared by the per-process tables: whole /proc files of any
// length, symbolic links, and the FreeBSD error a refused read stands for.
#pragma once

#include <string>

namespace compat {

// Reads a whole file relative to a directory descriptor, however long it is,
// in large chunks (the kernel generates some /proc files per read call).
// Returns 0 or the errno of the failed open or read.
int read_whole_at(int dirfd, const char* name, std::string& out);

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

// Consults the scripted overlay for a library call by its whole key.
script::Outcome consult_key(const char* key);

// Consults the scripted overlay for a library call about one process: the
// key is "<call>.<pid>" (kinfo_getfile.1234). Builds without the overlay
// answer nothing and build no key.
script::Outcome consult_call(const char* call, long pid);

// Copies a scripted answer of back-to-back records into a malloc'ed array
// the caller frees; *count is the number of whole records (trailing bytes
// are ignored). Returns NULL with errno ENOMEM when memory runs out.
void* records_from_answer(const std::string& answer, std::size_t record_size, int* count);

}  // namespace compat
