// The parts of one process: its threads with their CPU times, its open
// regular files, the size of its descriptor table, and its memory mappings.
#include "arch/all/str.h"
#include "arch/freebsd/proc_files.h"
#include "arch/freebsd/proc_table.h"
#include "arch/posix/sysctl.h"
#include "methods.h"
#include "norvik.h"
#include "pyref.h"

namespace {

double seconds(const struct timeval& tv) {
    return static_cast<double>(tv.tv_usec) / 1000000.0 + static_cast<double>(tv.tv_sec);
}

// The text shown for a mapping without a file.
const char* map_type_name(int type) {
    switch (static_cast<unsigned>(type)) {
        case KVME_TYPE_NONE: return "[none]";
        case KVME_TYPE_DEFAULT: return "[default]";
        case KVME_TYPE_VNODE: return "[vnode]";
        case KVME_TYPE_SWAP: return "[swap]";
        case KVME_TYPE_DEVICE: return "[device]";
        case KVME_TYPE_PHYS: return "[phys]";
        case KVME_TYPE_DEAD: return "[dead]";
        case KVME_TYPE_SG: return "[sg]";
        case KVME_TYPE_UNKNOWN: return "[unknown]";
        default: return "[?]";
    }
}

// One row of proc_memory_maps, or NULL with an exception set.
PyObject* map_row(const struct kinfo_vmentry& kve) {
    // Both addresses in lower-case hexadecimal with the "0x" prefix (0 has
    // none), as field widths and their padding removed again would give.
    char addr[1000];
    str_format(addr, sizeof addr, "%#jx-%#jx", static_cast<uintmax_t>(kve.kve_start),
               static_cast<uintmax_t>(kve.kve_end));

    char perms[4] = "";
    str_append(perms, sizeof perms, (kve.kve_protection & KVME_PROT_READ) ? "r" : "-");
    str_append(perms, sizeof perms, (kve.kve_protection & KVME_PROT_WRITE) ? "w" : "-");
    str_append(perms, sizeof perms, (kve.kve_protection & KVME_PROT_EXEC) ? "x" : "-");

    PyRef path(kve.kve_path[0] != '\0' ? norvik_decode_field(kve.kve_path, sizeof kve.kve_path)
                                       : PyUnicode_DecodeFSDefault(map_type_name(kve.kve_type)));
    if (!path) return nullptr;
    return Py_BuildValue("ssOiiii", addr, perms, path.get(), kve.kve_resident, kve.kve_private_resident,
                         kve.kve_ref_count, kve.kve_shadow_count);
}

}  // namespace

PyObject* norvik_proc_threads(PyObject*, PyObject* args) noexcept {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    int pid = 0;
    if (!PyArg_ParseTuple(args, "i", &pid)) return nullptr;
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID | KERN_PROC_INC_THREAD, pid};
    char* raw = nullptr;
    size_t size = 0;
    if (norvik_sysctl_malloc(mib, 4, &raw, &size) == -1) return nullptr;
    FreedPtr<char> records(raw);
    if (size == 0) return norvik_oserror_nsp("sysctl (size = 0)");
    const auto* threads = reinterpret_cast<const struct kinfo_proc*>(records.get());
    const size_t n = size / sizeof(struct kinfo_proc);
    for (size_t i = 0; i < n; ++i) {
        const struct kinfo_proc& kp = threads[i];
        if (append_new(list.get(), Py_BuildValue("Idd", static_cast<unsigned int>(kp.ki_tid),
                                                 seconds(kp.ki_rusage.ru_utime),
                                                 seconds(kp.ki_rusage.ru_stime))) == -1)
            return nullptr;
    }
    return list.release();
}

PyObject* norvik_proc_open_files(PyObject*, PyObject* args) noexcept {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    int pid = 0;
    if (!PyArg_ParseTuple(args, "i", &pid)) return nullptr;
    FreedPtr<struct kinfo_file> files;
    int count = 0;
    if (norvik_libutil_table(pid, kinfo_getfile, "kinfo_getfile()", files, count) == -1) return nullptr;
    for (int i = 0; i < count; ++i) {
        const struct kinfo_file& kf = files.get()[i];
        // Regular files only; a special record that is one (the executable's
        // text) keeps its negative descriptor number.
        if (kf.kf_type != KF_TYPE_VNODE || kf.kf_vnode_type != KF_VTYPE_VREG) continue;
        PyRef path(norvik_decode_field(kf.kf_path, sizeof kf.kf_path));
        if (!path) return nullptr;
        if (append_new(list.get(), Py_BuildValue("(Oi)", path.get(), kf.kf_fd)) == -1) return nullptr;
    }
    return list.release();
}

PyObject* norvik_proc_num_fds(PyObject*, PyObject* args) noexcept {
    int pid = 0;
    if (!PyArg_ParseTuple(args, "i", &pid)) return nullptr;
    FreedPtr<struct kinfo_file> files;
    int count = 0;
    if (norvik_libutil_table(pid, kinfo_getfile, "kinfo_getfile()", files, count) == -1) return nullptr;
    files.reset();
    return Py_BuildValue("i", count);
}

PyObject* norvik_proc_memory_maps(PyObject*, PyObject* args) noexcept {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    int pid = 0;
    if (!PyArg_ParseTuple(args, "i", &pid)) return nullptr;
    FreedPtr<struct kinfo_vmentry> maps;
    int count = 0;
    if (norvik_libutil_table(pid, kinfo_getvmmap, "kinfo_getvmmap()", maps, count) == -1) return nullptr;
    for (int i = 0; i < count; ++i) {
        if (append_new(list.get(), map_row(maps.get()[i])) == -1) return nullptr;
    }
    return list.release();
}
