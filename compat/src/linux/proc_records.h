// FreeBSD process records (struct kinfo_proc) built from the host's /proc.
#pragma once

#include <vector>

#include "freebsd/sys/user.h"
#include "linux/host_files.h"

namespace compat {

// Opens /proc/<pid> of a process itself, never of a thread: FreeBSD's
// thread ids are no process ids, so a thread id names no process (ESRCH),
// where the host shows every thread's folder under its id and answers for
// its process. Every per-process node and call finds its process through
// this test. Every later read goes through this descriptor, so the reads
// of one record all describe the same process: once it is gone they fail,
// even if the pid has been given to a new process meanwhile. It is a path
// descriptor (O_PATH): open, list or read what lies below it, not the
// folder itself. Its stat and io are the whole process's, its task folder
// lists the threads. Returns 0, ESRCH, or the errno of an open that failed
// otherwise.
//
// Every reader below returns 0, ESRCH when the process or thread has gone,
// EPERM when the host refused, or the host's errno of any other failure
// (see linux/host_failure.h).
int open_thread_group_dir(int pid, Fd& dir);

// The test of open_thread_group_dir alone, for a folder already open (or
// -1): 0 when pid is a process id, ESRCH when it is a thread's or gone.
int check_process_id(int pid, int dir);

// Opens the folder that answers for the process's own resources: its
// memory, descriptors, working directory, executable, arguments,
// environment and limits. That is /proc/<pid> while the process's first
// thread runs. On FreeBSD a process whose first thread has exited while
// others run on is simply alive; the host keeps that thread as a zombie,
// whose folder has let go of all of them, so then it is the folder of the
// first thread still running (/proc/<pid>/task/<tid>), which answers for
// the same process. A zombie keeps its own folder. Returns as
// open_thread_group_dir.
int open_process_dir(int pid, Fd& dir);

// Finds a live process as FreeBSD's pfind does: a process id (a thread id
// is ESRCH) of a process that is no zombie (ESRCH). `group` is its
// /proc/<pid> folder, `tid` the thread that answers for it: pid while its
// first thread runs, else the first thread still running.
int find_live_process(int pid, Fd& group, int& tid);

// Fills the record of the process whose /proc folder is `dir`.
int fill_process_record(int dir, int pid, freebsd::kinfo_proc& kp);

// Adds the process's block input and output counts (from its io file) to
// its record; a process whose file is refused or absent keeps zeros. Thread
// records carry none, so only process records need it.
int add_block_counts(int dir, freebsd::kinfo_proc& kp);

// The ids of the process's threads, as the host lists them.
int list_thread_ids(int dir, std::vector<int>& tids);

// Turns a process record into the record of one of its threads: the thread's
// id, name, state, CPU and CPU times from /proc/<pid>/task/<tid>/stat.
int fill_thread_record(int dir, int tid, freebsd::kinfo_proc& kp);

// The ids of all processes, in the order the host lists them. Returns 0 or
// the errno of the failed listing.
int list_process_ids(std::vector<int>& pids);

// The state letter of /proc/<pid>/stat as a FreeBSD state (SIDL..SLOCK).
char state_from_letter(char letter);

}  // namespace compat
