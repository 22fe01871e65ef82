// CPU affinity and resource limits of one process.
#include "arch/freebsd/proc_table.h"
#include "arch/posix/sysctl.h"
#include "methods.h"
#include "norvik.h"
#include "pyref.h"

namespace {

static_assert(sizeof(cpuset_t) == 128, "the mask travels as 128 bytes");
constexpr long kMaskBits = 1024;
constexpr int kWordBits = 64;

void add_cpu_to_mask(cpuset_t& mask, long cpu) {
    unsigned long word = static_cast<unsigned long>(mask.__bits[cpu / kWordBits]);
    word |= 1UL << (cpu % kWordBits);
    mask.__bits[cpu / kWordBits] = static_cast<long>(word);
}

// The five-element name of one resource limit of one process.
void rlimit_mib(int (&mib)[5], int pid, int resource) {
    mib[0] = CTL_KERN;
    mib[1] = KERN_PROC;
    mib[2] = KERN_PROC_RLIMIT;
    mib[3] = pid;
    mib[4] = resource;
}

// An integer given from Python (an int or anything with __index__, never a
// float, on every Python version) as a signed 64-bit value. Returns 0, or -1
// with the interpreter's exception set (a genuine -1 passes).
int integer_from_object(PyObject* obj, long long& value) {
    PyRef index(PyNumber_Index(obj));
    if (!index) return -1;
    value = PyLong_AsLongLong(index.get());
    return value == -1 && PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject* norvik_proc_cpu_affinity_get(PyObject*, PyObject* args) noexcept {
    int pid = 0;
    if (!PyArg_ParseTuple(args, "i", &pid)) return nullptr;
    cpuset_t mask;
    memset(&mask, 0, sizeof mask);
    if (cpuset_getaffinity(CPU_LEVEL_WHICH, CPU_WHICH_PID, pid, sizeof mask, &mask) != 0)
        return norvik_oserror();
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    // Ascending CPU numbers, one set bit at a time; empty words are skipped.
    for (long w = 0; w < kMaskBits / kWordBits; ++w) {
        unsigned long word = static_cast<unsigned long>(mask.__bits[w]);
        while (word != 0) {
            const long cpu = w * kWordBits + __builtin_ctzl(word);
            word &= word - 1;
            if (append_new(list.get(), PyLong_FromLong(cpu)) == -1) return nullptr;
        }
    }
    return list.release();
}

PyObject* norvik_proc_cpu_affinity_set(PyObject*, PyObject* args) noexcept {
    int pid = 0;
    PyObject* cpus = nullptr;
    if (!PyArg_ParseTuple(args, "iO", &pid, &cpus)) return nullptr;
    PyRef seq(PySequence_Fast(cpus, "expected a sequence or integer"));
    if (!seq) return nullptr;

    cpuset_t mask;
    memset(&mask, 0, sizeof mask);
    // The size and the item are read afresh on every step, and the item is
    // held while it converts: an element's own conversion code may change
    // the list it sits in.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* borrowed = PySequence_Fast_GET_ITEM(seq.get(), i);
        Py_INCREF(borrowed);
        PyRef item(borrowed);
        long long cpu = 0;
        if (integer_from_object(item.get(), cpu) == -1) return nullptr;
        // Outside the mask there is no bit to set: refuse rather than write
        // past it or drop the number silently.
        if (cpu < 0 || cpu >= kMaskBits) {
            PyErr_Format(PyExc_ValueError, "invalid CPU number %lld (must be 0 to %ld)", cpu, kMaskBits - 1);
            return nullptr;
        }
        add_cpu_to_mask(mask, static_cast<long>(cpu));
    }
    if (cpuset_setaffinity(CPU_LEVEL_WHICH, CPU_WHICH_PID, pid, sizeof mask, &mask) != 0)
        return norvik_oserror();
    Py_RETURN_NONE;
}

PyObject* norvik_proc_getrlimit(PyObject*, PyObject* args) noexcept {
    int pid = 0;
    int resource = 0;
    if (!PyArg_ParseTuple(args, "ii", &pid, &resource)) return nullptr;
    int mib[5];
    rlimit_mib(mib, pid, resource);
    // Cleared first: a kernel answering fewer bytes than asked for leaves
    // the rest as zeros, not as whatever the stack held.
    struct rlimit limit;
    memset(&limit, 0, sizeof limit);
    if (norvik_sysctl(mib, 5, &limit, sizeof limit) == -1) return nullptr;
    return Py_BuildValue("LL", static_cast<long long>(limit.rlim_cur),
                         static_cast<long long>(limit.rlim_max));
}

PyObject* norvik_proc_setrlimit(PyObject*, PyObject* args) noexcept {
    int pid = 0;
    int resource = 0;
    PyObject* soft = nullptr;
    PyObject* hard = nullptr;
    if (!PyArg_ParseTuple(args, "iiOO", &pid, &resource, &soft, &hard)) return nullptr;
    long long soft_value = 0;
    long long hard_value = 0;
    if (integer_from_object(soft, soft_value) == -1 || integer_from_object(hard, hard_value) == -1)
        return nullptr;
    int mib[5];
    rlimit_mib(mib, pid, resource);
    struct rlimit limit;
    limit.rlim_cur = static_cast<rlim_t>(soft_value);
    limit.rlim_max = static_cast<rlim_t>(hard_value);
    if (sysctl(mib, 5, nullptr, nullptr, &limit, sizeof limit) == -1) return norvik_oserror();
    Py_RETURN_NONE;
}
