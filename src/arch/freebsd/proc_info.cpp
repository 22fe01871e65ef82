// One process's snapshot from its kernel record: the 25-value tuple, the
// command name and the thread count.
#include <limits.h>

#include "arch/all/str.h"
#include "arch/freebsd/proc_table.h"
#include "arch/posix/sysctl.h"
#include "methods.h"
#include "norvik.h"
#include "pyref.h"

namespace {

// Parses the one "i" pid of the argument tuple and fetches its record.
// Returns 0, or -1 with an exception set.
int record_of_pid_arg(PyObject* args, struct kinfo_proc* kp) {
    int pid = 0;
    if (!PyArg_ParseTuple(args, "i", &pid)) return -1;
    return norvik_kinfo_proc(pid, kp);
}

// The command name, copied into buf. The copy is bounded by the field's own
// size as well, so a record without a terminating NUL cannot be read past.
void copy_comm(char* buf, size_t size, const struct kinfo_proc& kp) {
    str_format(buf, size, "%.*s", static_cast<int>(sizeof kp.ki_comm), kp.ki_comm);
}

double timeval_seconds(const struct timeval& tv) {
    return static_cast<double>(tv.tv_usec) / 1000000.0 + static_cast<double>(tv.tv_sec);
}

// A count of pages in bytes. A record whose count the product cannot hold
// is refused with OverflowError rather than wrapped into a wrong size.
// Returns 0, or -1 with an exception set.
int pages_in_bytes(long long pages, long long page, const char* field, long& bytes) {
    long long product = 0;
    if (__builtin_mul_overflow(pages, page, &product) || product < LONG_MIN || product > LONG_MAX) {
        PyErr_Format(PyExc_OverflowError, "%s of %lld pages is beyond a byte count", field, pages);
        return -1;
    }
    bytes = static_cast<long>(product);
    return 0;
}

}  // namespace

PyObject* norvik_proc_oneshot_info(PyObject*, PyObject* args) noexcept {
    const long pagesize = norvik_getpagesize();
    struct kinfo_proc kp;
    if (record_of_pid_arg(args, &kp) == -1) return nullptr;

    char name[256];
    copy_comm(name, sizeof name, kp);
    PyRef py_name(PyUnicode_DecodeFSDefault(name));
    if (!py_name) {
        // An undecodable name is not a failure of the snapshot.
        PyErr_Clear();
        Py_INCREF(Py_None);
        py_name.reset(Py_None);
    }
    PyRef py_ppid(PyLong_FromLong(kp.ki_ppid));
    if (!py_ppid) return nullptr;

    // The CPU it runs on while running, else the one it last ran on.
    const int cpu = kp.ki_stat == SRUN && kp.ki_oncpu != NOCPU ? kp.ki_oncpu : kp.ki_lastcpu;
    const long long page = pagesize;
    long rss = 0, text = 0, data = 0, stack = 0;
    if (pages_in_bytes(kp.ki_rssize, page, "ki_rssize", rss) == -1 ||
        pages_in_bytes(kp.ki_tsize, page, "ki_tsize", text) == -1 ||
        pages_in_bytes(kp.ki_dsize, page, "ki_dsize", data) == -1 ||
        pages_in_bytes(kp.ki_ssize, page, "ki_ssize", stack) == -1)
        return nullptr;
    return Py_BuildValue("(OillllllLdllllddddlllllbO)",
                         py_ppid.get(),                               // 1 parent
                         static_cast<int>(kp.ki_stat),                // 2 state
                         static_cast<long>(kp.ki_ruid),               // 3 real uid
                         static_cast<long>(kp.ki_uid),                // 4 effective uid
                         static_cast<long>(kp.ki_svuid),              // 5 saved uid
                         static_cast<long>(kp.ki_rgid),               // 6 real gid
                         static_cast<long>(kp.ki_groups[0]),          // 7 effective gid
                         static_cast<long>(kp.ki_svgid),              // 8 saved gid
                         static_cast<long long>(kp.ki_tdev),          // 9 terminal
                         timeval_seconds(kp.ki_start),                // 10 start time
                         static_cast<long>(kp.ki_rusage.ru_nvcsw),    // 11
                         static_cast<long>(kp.ki_rusage.ru_nivcsw),   // 12
                         static_cast<long>(kp.ki_rusage.ru_inblock),  // 13
                         static_cast<long>(kp.ki_rusage.ru_oublock),  // 14
                         timeval_seconds(kp.ki_rusage.ru_utime),      // 15
                         timeval_seconds(kp.ki_rusage.ru_stime),      // 16
                         timeval_seconds(kp.ki_rusage_ch.ru_utime),   // 17
                         timeval_seconds(kp.ki_rusage_ch.ru_stime),   // 18
                         rss,                                         // 19 resident
                         static_cast<long>(kp.ki_size),               // 20 virtual, bytes
                         text,                                        // 21 text
                         data,                                        // 22 data
                         stack,                                       // 23 stack
                         cpu,                                         // 24 CPU
                         py_name.get());                              // 25 name
}

PyObject* norvik_proc_name(PyObject*, PyObject* args) noexcept {
    struct kinfo_proc kp;
    if (record_of_pid_arg(args, &kp) == -1) return nullptr;
    char name[1000];
    copy_comm(name, sizeof name, kp);
    return PyUnicode_DecodeFSDefault(name);
}

PyObject* norvik_proc_num_threads(PyObject*, PyObject* args) noexcept {
    struct kinfo_proc kp;
    if (record_of_pid_arg(args, &kp) == -1) return nullptr;
    return Py_BuildValue("l", static_cast<long>(kp.ki_numthreads));
}
