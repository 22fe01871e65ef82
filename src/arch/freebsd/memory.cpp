// Physical memory and its page queues, swap space and paging, and the state
// of this process's allocator.
#include <fcntl.h>
#include <stdint.h>

#include <memory>

#include "arch/all/str.h"
#include "arch/posix/sysctl.h"
#include "methods.h"
#include "norvik.h"
#include "norvik_platform.h"

namespace {

static_assert(sizeof(struct vmtotal) == 88, "the memory totals are 88 bytes");
static_assert(sizeof(struct kvm_swap) == 52, "one swap record is 52 bytes");

constexpr unsigned kAllArenas = 4096;  // MALLCTL_ARENAS_ALL
constexpr size_t kPurgeNameSize = 32;

struct KvmCloser {
    void operator()(kvm_t* kd) const { kvm_close(kd); }
};

// Reads one 4-byte unsigned kernel counter.
int read_u32(const char* name, uint32_t& value) { return norvik_sysctlbyname(name, &value, sizeof value); }

unsigned long long to_bytes(uint32_t pages, long pagesize) {
    return static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(pagesize);
}

// One allocator control; on failure, OSError with the control's message.
// The allocator returns its error rather than setting errno: the returned
// number is what the exception reports.
int control(const char* name, void* oldp, size_t* oldlenp, void* newp, size_t newlen, const char* message) {
    const int err = mallctl(name, oldp, oldlenp, newp, newlen);
    if (err == 0) return 0;
    errno = err;
    if (message != nullptr)
        norvik_oserror_wsyscall(message);
    else
        norvik_oserror();
    return -1;
}

}  // namespace

PyObject* norvik_virtual_mem(PyObject*, PyObject*) noexcept {
    const long pagesize = norvik_getpagesize();
    unsigned long long physmem = 0;
    uint32_t active = 0, inactive = 0, wired = 0, cached = 0, free_pages = 0;
    long bufspace = 0;
    if (norvik_sysctlbyname("hw.physmem", &physmem, sizeof physmem) == -1 ||
        read_u32("vm.stats.vm.v_active_count", active) == -1 ||
        read_u32("vm.stats.vm.v_inactive_count", inactive) == -1 ||
        read_u32("vm.stats.vm.v_wire_count", wired) == -1)
        return nullptr;
    if (read_u32("vm.stats.vm.v_cache_count", cached) == -1) {
        PyErr_Clear();
        cached = 0;
    }
    if (read_u32("vm.stats.vm.v_free_count", free_pages) == -1 ||
        norvik_sysctlbyname("vfs.bufspace", &bufspace, sizeof bufspace) == -1)
        return nullptr;
    struct vmtotal total;
    memset(&total, 0, sizeof total);
    int mib[2] = {CTL_VM, VM_METER};
    if (norvik_sysctl(mib, 2, &total, sizeof total) == -1) {
        PyErr_Clear();
        return norvik_oserror_wsyscall("sysctl(CTL_VM | VM_METER)");
    }
    const unsigned long long shared =
        (static_cast<unsigned long long>(total.t_vmshr) + static_cast<unsigned long long>(total.t_rmshr)) *
        static_cast<unsigned long long>(pagesize);
    return Py_BuildValue("KKKKKKKK", physmem, to_bytes(free_pages, pagesize), to_bytes(active, pagesize),
                         to_bytes(inactive, pagesize), to_bytes(wired, pagesize), to_bytes(cached, pagesize),
                         static_cast<unsigned long long>(bufspace), shared);
}

PyObject* norvik_swap_mem(PyObject*, PyObject*) noexcept {
    const long pagesize = norvik_getpagesize();
    struct kvm_swap swap[1];
    memset(swap, 0, sizeof swap);
    {
        std::unique_ptr<kvm_t, KvmCloser> kd(
            kvm_open(nullptr, "/dev/null", nullptr, O_RDONLY, "kvm_open failed"));
        if (kd == nullptr) return norvik_runtime_error("kvm_open() syscall failed");
        const int got = kvm_getswapinfo(kd.get(), swap, 1, 0);
        kd.reset();
        if (got < 0) return norvik_runtime_error("kvm_getswapinfo() syscall failed");
    }
    uint32_t swapin = 0, swapout = 0, vnodein = 0, vnodeout = 0;
    if (read_u32("vm.stats.vm.v_swapin", swapin) == -1 || read_u32("vm.stats.vm.v_swapout", swapout) == -1 ||
        read_u32("vm.stats.vm.v_vnodein", vnodein) == -1 ||
        read_u32("vm.stats.vm.v_vnodeout", vnodeout) == -1)
        return nullptr;
    const unsigned long long total = to_bytes(swap[0].ksw_total, pagesize);
    const unsigned long long used = to_bytes(swap[0].ksw_used, pagesize);
    // The pager counts are added as the kernel's 32-bit values: they wrap.
    const unsigned int swap_ops = static_cast<uint32_t>(swapin + swapout);
    const unsigned int vnode_ops = static_cast<uint32_t>(vnodein + vnodeout);
    return Py_BuildValue("(KKKII)", total, used, total - used, swap_ops, vnode_ops);
}

PyObject* norvik_heap_info(PyObject*, PyObject*) noexcept {
    uint64_t epoch = 0;
    size_t epoch_len = sizeof epoch;
    size_t allocated = 0, mapped = 0;
    size_t len = sizeof(size_t);
    // A thread without a cache (MALLOC_CONF=tcache:false, or a thread being
    // torn down) has nothing to flush: the allocator answers EFAULT, and the
    // statistics are still there to read.
    const int flushed = mallctl("thread.tcache.flush", nullptr, nullptr, nullptr, 0);
    if (flushed != 0 && flushed != EFAULT) {
        errno = flushed;
        return norvik_oserror_wsyscall("mallctl('thread.tcache.flush')");
    }
    if (control("epoch", &epoch, &epoch_len, nullptr, 0, "mallctl('epoch')") == -1 ||
        control("epoch", nullptr, nullptr, &epoch, epoch_len, "mallctl('epoch') update") == -1 ||
        control("stats.allocated", &allocated, &len, nullptr, 0, "mallctl('stats.allocated')") == -1)
        return nullptr;
    len = sizeof(size_t);
    if (control("stats.mapped", &mapped, &len, nullptr, 0, "mallctl('stats.mapped')") == -1) return nullptr;
    return Py_BuildValue("KK", static_cast<unsigned long long>(allocated),
                         static_cast<unsigned long long>(mapped));
}

PyObject* norvik_heap_trim(PyObject*, PyObject*) noexcept {
    char name[kPurgeNameSize];
    str_format(name, sizeof name, "arena.%u.purge", kAllArenas);
    if (control(name, nullptr, nullptr, nullptr, 0, nullptr) == -1) return nullptr;
    Py_RETURN_NONE;
}
