// The textual facts of one process: its argument vector, environment,
// executable path and working directory.
#include "arch/all/str.h"
#include "arch/freebsd/proc_files.h"
#include "arch/freebsd/proc_table.h"
#include "arch/posix/sysctl.h"
#include "methods.h"
#include "norvik.h"
#include "pyref.h"

#include <limits>
#include <memory>

PyObject* norvik_proc_cmdline(PyObject*, PyObject* args) noexcept {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    int pid = 0;
    if (!PyArg_ParseTuple(args, "i", &pid)) return nullptr;
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_ARGS, pid};
    char* raw = nullptr;
    size_t size = 0;
    if (norvik_sysctl_malloc(mib, 4, &raw, &size) == -1) return nullptr;
    FreedPtr<char> area(raw);
    // NUL-terminated strings back to back. A last string that the kernel did
    // not terminate within the size ends at the size: nothing past it is read.
    size_t offset = 0;
    while (offset < size) {
        const char* arg = area.get() + offset;
        const size_t len = strnlen(arg, size - offset);
        if (append_new(list.get(), PyUnicode_DecodeFSDefaultAndSize(arg, static_cast<Py_ssize_t>(len))) == -1)
            return nullptr;
        offset += len + 1;
    }
    return list.release();
}

PyObject* norvik_proc_exe(PyObject*, PyObject* args) noexcept {
    int pid = 0;
    if (!PyArg_ParseTuple(args, "i", &pid)) return nullptr;
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, pid};
    char path[MAXPATHLEN];
    path[0] = '\0';
    size_t size = sizeof path;
    if (sysctl(mib, 4, path, &size, nullptr, 0) == -1) {
        if (errno == ENOENT) return PyUnicode_FromString("");  // the kernel cannot name the file
        return norvik_oserror_wsyscall("sysctl(KERN_PROC_PATHNAME)");
    }
    if (size == 0 || path[0] == '\0') {
        switch (norvik_pid_exists(pid)) {
            case 0:
                return norvik_oserror_nsp("norvik_pid_exists -> 0");
            case -1:
                return norvik_oserror();
            default:
                return PyUnicode_FromString("");
        }
    }
    // The path ends at its NUL, or at the end of what the kernel wrote.
    return norvik_decode_field(path, size < sizeof path ? size : sizeof path);
}

PyObject* norvik_proc_cwd(PyObject*, PyObject* args) noexcept {
    int pid = 0;
    if (!PyArg_ParseTuple(args, "i", &pid)) return nullptr;
    FreedPtr<struct kinfo_file> files;
    int count = 0;
    if (norvik_libutil_table(pid, kinfo_getfile, "kinfo_getfile()", files, count) == -1) return nullptr;
    for (int i = 0; i < count; ++i) {
        const struct kinfo_file& kf = files.get()[i];
        if (kf.kf_fd == KF_FD_TYPE_CWD) return norvik_decode_field(kf.kf_path, sizeof kf.kf_path);
    }
    return PyUnicode_FromString("");
}

namespace {

constexpr size_t kKvmErrSize = 2048;
constexpr long kInMemMask = P_INMEM | P_SYSTEM;

struct KvmCloser {
    void operator()(kvm_t* kd) const { kvm_close(kd); }
};
using KvmHandle = std::unique_ptr<kvm_t, KvmCloser>;

// Raises the exception for a null answer of kvm_getenvv with errno set,
// classified by errno.
PyObject* raise_getenvv_failure(long pid, const struct kinfo_proc& proc) {
    char text[kKvmErrSize];
    switch (errno) {
        case EPERM:
            return norvik_oserror_ad("kvm_getenvv -> EPERM");
        case ESRCH:
            return norvik_oserror_nsp("kvm_getenvv -> ESRCH");
        case ENOMEM:
            str_format(text, sizeof text, "kvm_getenvv(pid=%ld, ki_uid=%d) -> ENOMEM", pid,
                       static_cast<int>(proc.ki_uid));
            return norvik_oserror_ad(text);
        default: {
            const int err = errno;
            str_format(text, sizeof text, "kvm_getenvv(pid=%ld)", pid);
            errno = err;
            return norvik_oserror_wsyscall(text);
        }
    }
}

}  // namespace

PyObject* norvik_proc_environ(PyObject*, PyObject* args) noexcept {
    long pid = 0;
    if (!PyArg_ParseTuple(args, "l", &pid)) return nullptr;
    // libkvm takes the pid as an int: a value beyond it names no process,
    // and must not be cut down to the pid of another one.
    if (pid < std::numeric_limits<int>::min() || pid > std::numeric_limits<int>::max()) return norvik_oserror_nsp("kvm_getprocs");

    char errbuf[kKvmErrSize];
    errbuf[0] = '\0';
    KvmHandle kd(kvm_openfiles(nullptr, "/dev/null", nullptr, 0, errbuf));
    if (!kd) {
        convert_kvm_err("kvm_openfiles", errbuf);
        return nullptr;
    }
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;

    int count = -1;
    errno = 0;
    struct kinfo_proc* procs = kvm_getprocs(kd.get(), KERN_PROC_PID, static_cast<int>(pid), &count);
    // Only "no such process" makes the process gone; any other failure of
    // the lookup (no memory, no descriptor) is passed on with its errno.
    if (procs == nullptr) {
        if (errno != 0 && errno != ESRCH) return norvik_oserror_wsyscall("kvm_getprocs");
        return norvik_oserror_nsp("kvm_getprocs");
    }
    if (count < 0) return norvik_oserror_nsp(kvm_geterr(kd.get()));
    if (count == 0) return norvik_oserror_nsp("kvm_getprocs: cnt==0");

    // A kernel process, or one swapped out of memory, has no environment
    // that can be read; that is no error.
    if ((procs[0].ki_flag & kInMemMask) != P_INMEM) return dict.release();

    errno = 0;
    char** envs = kvm_getenvv(kd.get(), &procs[0], 0);
    if (envs == nullptr) {
        if (errno == 0) return dict.release();  // no environment to read is not an error
        return raise_getenvv_failure(pid, procs[0]);
    }

    for (char** entry = envs; *entry != nullptr; ++entry) {
        char* eq = strchr(*entry, '=');
        if (eq == nullptr) continue;
        *eq = '\0';
        // The name is any bytes but "=": decoded as the value is.
        PyRef name(PyUnicode_DecodeFSDefault(*entry));
        PyRef value(PyUnicode_DecodeFSDefault(eq + 1));
        if (!name || !value) return nullptr;
        if (PyDict_SetItem(dict.get(), name.get(), value.get()) == -1) return nullptr;
    }
    return dict.release();
}
