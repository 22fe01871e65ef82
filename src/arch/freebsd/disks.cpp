// Mounted filesystems and per-disk I/O counters.
#include <limits.h>
#include <string.h>

#include "arch/all/str.h"
#include "field_text.h"
#include "methods.h"
#include "norvik.h"
#include "norvik_platform.h"
#include "owned.h"
#include "pyref.h"

namespace {

static_assert(sizeof(struct statfs) == 2344, "getfsstat fills records of 2344 bytes");
static_assert(sizeof(struct devstat) == 288, "libdevstat hands over records of 288 bytes");
static_assert(sizeof(struct devinfo) == 32);

struct MountOption {
    unsigned long long flag;
    const char* text;
};

// Not the order of the values: the order callers have always seen.
constexpr MountOption kMountOptions[] = {
    {MNT_SYNCHRONOUS, ",sync"},      {MNT_NOEXEC, ",noexec"},         {MNT_NOSUID, ",nosuid"},
    {MNT_ASYNC, ",async"},           {MNT_NOATIME, ",noatime"},       {MNT_SOFTDEP, ",softdep"},
    {MNT_UNION, ",union"},           {MNT_SUIDDIR, ",suiddir"},       {MNT_NOSYMFOLLOW, ",nosymfollow"},
    {MNT_GJOURNAL, ",gjournal"},     {MNT_MULTILABEL, ",multilabel"}, {MNT_ACLS, ",acls"},
    {MNT_NOCLUSTERR, ",noclusterr"}, {MNT_NOCLUSTERW, ",noclusterw"}, {MNT_NFS4ACLS, ",nfs4acls"},
};

constexpr size_t kOptionsSize = 200;

// "ro" or "rw", then every set flag's word in table order. Only the low 32
// bits of the flags carry options.
void options_text(unsigned long long flags64, char (&text)[kOptionsSize]) {
    const unsigned long long flags = flags64 & 0xffffffffULL;
    text[0] = '\0';
    str_append(text, sizeof text, (flags & MNT_RDONLY) ? "ro" : "rw");
    for (const auto& option : kMountOptions)
        if (flags & option.flag) str_append(text, sizeof text, option.text);
}

// getfsstat with the interpreter lock released: the kernel may block on a
// filesystem meanwhile, and no Python object is touched.
int getfsstat_unlocked(struct statfs* buf, long size) {
    PyThreadState* state = PyEval_SaveThread();
    const int count = getfsstat(buf, size, MNT_NOWAIT);
    const int err = errno;
    PyEval_RestoreThread(state);
    errno = err;
    return count;
}

PyObject* partition_tuple(const struct statfs& fs) {
    char options[kOptionsSize];
    options_text(static_cast<unsigned long long>(fs.f_flags), options);
    PyRef device(norvik_decode_field(fs.f_mntfromname));
    if (!device) return nullptr;
    PyRef mount_point(norvik_decode_field(fs.f_mntonname));
    if (!mount_point) return nullptr;
    PyRef type(norvik_decode_field(fs.f_fstypename));
    if (!type) return nullptr;
    return Py_BuildValue("(OOOs)", device.get(), mount_point.get(), type.get(), options);
}

// Milliseconds of a bintime: the fraction to the nanosecond through its upper
// 32 bits, truncated. Seconds beyond what a long long of milliseconds holds
// (no disk has been busy that long: a corrupt record) give its limit.
long long bintime_ms(const struct bintime& t) {
    const unsigned long long high = static_cast<unsigned long long>(static_cast<uint32_t>(t.frac >> 32));
    const unsigned long long ns = (high * 1000000000ULL) >> 32;
    long long ms = 0;
    if (__builtin_mul_overflow(static_cast<long long>(t.sec), 1000LL, &ms) ||
        __builtin_add_overflow(ms, static_cast<long long>(ns / 1000000), &ms))
        return t.sec < 0 ? LLONG_MIN : LLONG_MAX;
    return ms;
}

struct DevinfoDeleter {
    void operator()(struct devinfo* info) const {
        free(info->mem_ptr);  // libdevstat's device buffer
        free(info);
    }
};

int add_device(PyObject* dict, const struct devstat& ds) {
    // The name field is fixed-size; never read past it even if unterminated.
    char key[128];
    str_format(key, sizeof key, "%.*s%d", static_cast<int>(strnlen(ds.device_name, sizeof ds.device_name)),
               ds.device_name, ds.unit_number);
    PyRef value(Py_BuildValue("(KKKKLLL)", static_cast<unsigned long long>(ds.operations[DEVSTAT_READ]),
                              static_cast<unsigned long long>(ds.operations[DEVSTAT_WRITE]),
                              static_cast<unsigned long long>(ds.bytes[DEVSTAT_READ]),
                              static_cast<unsigned long long>(ds.bytes[DEVSTAT_WRITE]),
                              bintime_ms(ds.duration[DEVSTAT_READ]), bintime_ms(ds.duration[DEVSTAT_WRITE]),
                              bintime_ms(ds.busy_time)));
    if (!value) return -1;
    return PyDict_SetItemString(dict, key, value.get());
}

}  // namespace

PyObject* norvik_disk_partitions(PyObject*, PyObject*) noexcept {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    const int wanted = getfsstat_unlocked(nullptr, 0);
    if (wanted == -1) return norvik_oserror();
    const size_t size = static_cast<size_t>(wanted) * sizeof(struct statfs);
    FreedPtr<struct statfs> records(static_cast<struct statfs*>(malloc(size > 0 ? size : 1)));
    if (!records) return PyErr_NoMemory();
    const int count = getfsstat_unlocked(records.get(), static_cast<long>(size));
    if (count == -1) return norvik_oserror();
    // The second answer bounds the walk; it never exceeds what the buffer holds.
    const int usable = count < wanted ? count : wanted;
    for (int i = 0; i < usable; ++i) {
        if (append_new(list.get(), partition_tuple(records.get()[i])) == -1) return nullptr;
    }
    return list.release();
}

PyObject* norvik_disk_io_counters(PyObject*, PyObject*) noexcept {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    if (devstat_checkversion(nullptr) < 0)
        return norvik_runtime_error("devstat_checkversion() syscall failed");
    std::unique_ptr<struct devinfo, DevinfoDeleter> info(
        static_cast<struct devinfo*>(calloc(1, sizeof(struct devinfo))));
    if (!info) return PyErr_NoMemory();
    struct statinfo stats;
    memset(&stats, 0, sizeof stats);
    stats.dinfo = info.get();
    if (devstat_getdevs(nullptr, &stats) == -1)
        return norvik_runtime_error("devstat_getdevs() syscall failed");
    for (int i = 0; i < info->numdevs; ++i) {
        if (add_device(dict.get(), info->devices[i]) == -1) return nullptr;
    }
    return dict.release();
}
