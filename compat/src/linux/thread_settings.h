// Giving every thread of a process one setting at once, as FreeBSD's kernel
// does for a process's CPU mask (cpuset_setproc) and its nice value
// (donice, sched_nice). The host keeps both per thread and changes one
// thread a call; this is the one walk that makes such a change whole or
// leaves it undone.
#pragma once

namespace compat {

// One setting the threads take, one thread at a time.
class ThreadSetting {
public:
    // Keeps the value thread tid has, then gives it the new one. Returns 0,
    // or the host's errno with that thread unchanged.
    virtual int change(int tid) = 0;
    // Puts back the value kept by the latest change not yet undone. A thread
    // that has ended meanwhile needs none.
    virtual void undo_last() = 0;

protected:
    ~ThreadSetting() = default;
};

// Gives every thread of the process whose /proc folder is `group` the
// setting. The thread that answers for the process (`first`, see
// find_live_process) goes first and decides the outcome: its refusal
// changes nothing. Then every other thread listed, listing again until a
// pass finds no new one, so that threads started meanwhile are caught; an
// exited first thread the host keeps (pid, when first is another) is
// passed over, as is a thread that ends meanwhile. Any other failure (a
// refusal, a listing that fails, threads that keep appearing) puts back
// every thread already changed, newest first, and fails the whole change
// with that errno: it is never left half done. May throw std::bad_alloc,
// with everything put back. Returns 0 or the errno.
int change_every_thread(int group, int pid, int first, ThreadSetting& setting);

}  // namespace compat
