// CPU count, CPU times, event counters, frequency, topology and boot time.
#include "arch/all/str.h"
#include "arch/posix/sysctl.h"
#include "methods.h"
#include "norvik.h"
#include "norvik_platform.h"
#include "owned.h"
#include "pyref.h"

namespace {

constexpr size_t kRowBytes = CPUSTATES * sizeof(long);
static_assert(kRowBytes == 40, "one CPU's tick counters are 40 bytes");
static_assert(sizeof(struct timeval) == 16, "the boot time is a 16-byte timeval");

constexpr size_t kFreqNameSize = 26;
constexpr size_t kFreqLevelsSize = 1000;

// The boot time's name, kept for the life of the module.
int boottime_mib[2] = {CTL_KERN, KERN_BOOTTIME};

// The rate of the tick counters: the statistics clock's (kern.clockrate's
// stathz; 127 Hz on a typical amd64 machine, 128 on older timers), or hz
// where a kernel has no separate statistics clock. Returns the rate, or 0
// with an exception set.
int stat_clock_rate() {
    int mib[2] = {CTL_KERN, KERN_CLOCKRATE};
    struct clockinfo info;
    memset(&info, 0, sizeof info);
    if (norvik_sysctl(mib, 2, &info, sizeof info) == -1) return 0;
    const int rate = info.stathz > 0 ? info.stathz : info.hz;
    if (rate <= 0) norvik_runtime_error("sysctl(KERN_CLOCKRATE) gives no clock rate");
    return rate > 0 ? rate : 0;
}

// One CPU's (or all CPUs') ticks as (user, nice, system, idle, interrupt) seconds.
PyObject* times_tuple(const long* ticks, int rate) {
    const double hz = rate;
    return Py_BuildValue("(ddddd)", static_cast<double>(ticks[CP_USER]) / hz,
                         static_cast<double>(ticks[CP_NICE]) / hz, static_cast<double>(ticks[CP_SYS]) / hz,
                         static_cast<double>(ticks[CP_IDLE]) / hz, static_cast<double>(ticks[CP_INTR]) / hz);
}

// Reads the per-CPU table into a buffer sized for count rows, or, when the
// kernel keeps more rows than that (a CPU id left unused below the highest),
// into one sized by the kernel. Returns 0, or -1 with an exception set.
int read_cp_times(int count, FreedPtr<long>& table, size_t& len) {
    len = static_cast<size_t>(count) * kRowBytes;
    table.reset(static_cast<long*>(malloc(len)));
    if (table == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    const size_t room = len;
    if (sysctlbyname("kern.cp_times", table.get(), &len, nullptr, 0) == 0) {
        if (len <= room) return 0;
        // A length beyond the buffer was never filled: read it whole.
    } else if (errno != ENOMEM) {
        norvik_oserror_wsyscall("sysctlbyname('kern.cp_times')");
        return -1;
    }
    char* whole = nullptr;
    if (norvik_sysctlbyname_malloc("kern.cp_times", &whole, &len) == -1) return -1;
    table.reset(reinterpret_cast<long*>(whole));
    return 0;
}

}  // namespace

PyObject* norvik_cpu_count_logical(PyObject*, PyObject*) noexcept {
    int mib[2] = {CTL_HW, HW_NCPU};
    int ncpu = 0;
    size_t len = sizeof ncpu;
    if (sysctl(mib, 2, &ncpu, &len, nullptr, 0) == -1) Py_RETURN_NONE;
    return Py_BuildValue("i", ncpu);
}

PyObject* norvik_cpu_times(PyObject*, PyObject*) noexcept {
    long ticks[CPUSTATES] = {};
    if (norvik_sysctlbyname("kern.cp_time", ticks, sizeof ticks) == -1) return nullptr;
    const int rate = stat_clock_rate();
    if (rate == 0) return nullptr;
    return times_tuple(ticks, rate);
}

PyObject* norvik_per_cpu_times(PyObject*, PyObject*) noexcept {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    int mib[2] = {CTL_HW, HW_NCPU};
    int count = 0;
    if (norvik_sysctl(mib, 2, &count, sizeof count) == -1) return nullptr;
    if (count <= 0) return norvik_runtime_error("sysctl(HW_NCPU) returned %d CPUs", count);
    FreedPtr<long> table;
    size_t len = 0;
    if (read_cp_times(count, table, len) == -1) return nullptr;
    const int rate = stat_clock_rate();
    if (rate == 0) return nullptr;
    // One tuple per row the kernel returned, in CPU order: never past the
    // data, and every CPU even where its table is longer than the count.
    const size_t rows = len / kRowBytes;
    for (size_t cpu = 0; cpu < rows; ++cpu)
        if (append_new(list.get(), times_tuple(table.get() + cpu * CPUSTATES, rate)) == -1) return nullptr;
    return list.release();
}

PyObject* norvik_boot_time(PyObject*, PyObject*) noexcept {
    struct timeval boottime = {};
    if (norvik_sysctl(boottime_mib, 2, &boottime, sizeof boottime) == -1) return nullptr;
    return Py_BuildValue("d", static_cast<double>(boottime.tv_sec));
}

PyObject* norvik_cpu_stats(PyObject*, PyObject*) noexcept {
    // Read in the kernel's order; returned with the context switches first.
    static const char* const names[] = {"vm.stats.sys.v_soft", "vm.stats.sys.v_intr",
                                        "vm.stats.sys.v_syscall", "vm.stats.sys.v_trap",
                                        "vm.stats.sys.v_swtch"};
    unsigned int values[5] = {};
    for (size_t i = 0; i < 5; ++i)
        if (norvik_sysctlbyname(names[i], &values[i], sizeof values[i]) == -1) return nullptr;
    const unsigned int soft = values[0], intr = values[1], syscalls = values[2], traps = values[3],
                       swtch = values[4];
    return Py_BuildValue("IIIII", swtch, intr, soft, syscalls, traps);
}

PyObject* norvik_cpu_freq(PyObject*, PyObject* args) noexcept {
    char levels[kFreqLevelsSize];
    memset(levels, 0, sizeof levels);
    int cpu = 0;
    if (!PyArg_ParseTuple(args, "i", &cpu)) return nullptr;

    char name[kFreqNameSize];
    str_format(name, sizeof name, "dev.cpu.%d.freq", cpu);
    int mhz = 0;
    if (norvik_sysctlbyname(name, &mhz, sizeof mhz) == -1) {
        const int err = errno;
        PyErr_Clear();
        if (err == ENOENT) {
            PyErr_SetString(PyExc_NotImplementedError, "unable to read frequency");
            return nullptr;
        }
        errno = err;
        return norvik_oserror();
    }
    str_format(name, sizeof name, "dev.cpu.%d.freq_levels", cpu);
    if (norvik_sysctlbyname(name, levels, sizeof levels) == -1) {
        PyErr_Clear();
        levels[0] = '\0';
        norvik_debug("cpu freq levels failed (ignored)");
    }
    levels[sizeof levels - 1] = '\0';
    return Py_BuildValue("is", mhz, levels);
}

PyObject* norvik_cpu_topology(PyObject*, PyObject*) noexcept {
    char* text = nullptr;
    size_t len = 0;
    if (norvik_sysctlbyname_malloc("kern.sched.topology_spec", &text, &len) == -1) {
        PyErr_Clear();
        norvik_debug("ignore sysctlbyname('kern.sched.topology_spec') error");
        Py_RETURN_NONE;
    }
    FreedPtr<char> owned(text);
    // The kernel's text ends in a NUL; one that does not is cut at its length.
    return PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(strnlen(text, len)));
}
