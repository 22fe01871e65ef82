#include "arch/freebsd/proc_table.h"

#include "arch/posix/sysctl.h"
#include "methods.h"
#include "norvik.h"
#include "owned.h"
#include "pyref.h"

int norvik_kinfo_proc(pid_t pid, struct kinfo_proc* proc) {
    if (pid < 0 || proc == nullptr) return norvik_badargs("norvik_kinfo_proc");
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    size_t size = sizeof(struct kinfo_proc);
    if (sysctl(mib, 4, proc, &size, nullptr, 0) == -1) {
        norvik_oserror_wsyscall("sysctl(kinfo_proc)");
        return -1;
    }
    if (size == 0) {
        norvik_oserror_nsp("sysctl(kinfo_proc), size = 0");
        return -1;
    }
    return 0;
}

int is_zombie(pid_t pid) {
    struct kinfo_proc proc;
    if (norvik_kinfo_proc(pid, &proc) == -1) {
        errno = 0;
        PyErr_Clear();
        return 0;
    }
    return proc.ki_stat == SZOMB ? 1 : 0;
}

int norvik_pid_exists(pid_t pid) {
    if (pid <= 0) return 0;
    if (kill(pid, 0) == 0) return 1;
    if (errno == ESRCH) return 0;
    if (errno == EPERM) return 1;
    return -1;
}

PyObject* norvik_raise_for_pid(pid_t pid, const char* msg) {
    if (errno != 0) return norvik_oserror_wsyscall(msg);
    if (norvik_pid_exists(pid) == 0) return norvik_oserror_nsp(msg);
    if (is_zombie(pid)) {
        PyErr_SetString(ZombieProcessError, "");
        return nullptr;
    }
    return norvik_runtime_error("%s syscall failed", msg);
}

int _norvik_pids(pid_t** pids, int* count) {
    *pids = nullptr;
    *count = 0;
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PROC, 0};
    char* raw = nullptr;
    size_t size = 0;
    if (norvik_sysctl_malloc(mib, 4, &raw, &size) == -1) return -1;
    FreedPtr<char> records(raw);
    if (size == 0) {
        norvik_runtime_error("no PIDs found");
        return -1;
    }
    const size_t n = size / sizeof(struct kinfo_proc);
    pid_t* out = static_cast<pid_t*>(malloc(n * sizeof(pid_t)));
    if (out == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    const auto* procs = reinterpret_cast<const struct kinfo_proc*>(records.get());
    for (size_t i = 0; i < n; ++i) out[i] = procs[i].ki_pid;
    *pids = out;
    *count = static_cast<int>(n);
    return 0;
}

PyObject* norvik_pids(PyObject*, PyObject*) noexcept {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    pid_t* raw = nullptr;
    int count = 0;
    if (_norvik_pids(&raw, &count) == -1) return nullptr;
    FreedPtr<pid_t> pids(raw);
    if (count == 0) return norvik_runtime_error("no PIDs found");
    for (int i = 0; i < count; ++i) {
        if (append_new(list.get(), PyLong_FromLong(pids.get()[i])) == -1) return nullptr;
    }
    return list.release();
}

PyObject* norvik_check_pid_range(PyObject*, PyObject* args) noexcept {
    int pid = 0;
    if (!PyArg_ParseTuple(args, "i", &pid)) return nullptr;
    if (pid < 0) {
        PyErr_SetString(PyExc_ValueError, "pid must be a positive integer");
        return nullptr;
    }
    Py_RETURN_NONE;
}
