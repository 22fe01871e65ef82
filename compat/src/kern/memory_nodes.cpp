// Physical memory, the page queues, the buffer cache, memory totals and the
// pager counters, from the host's /proc/meminfo and /proc/vmstat.
//
// meminfo counts kB; FreeBSD's queues count pages of the host's page size.
//   hw.physmem         MemTotal, in bytes
//   v_active_count     Active
//   v_inactive_count   Inactive
//   v_wire_count       SUnreclaim + KernelStack + PageTables + Unevictable:
//                      what the kernel holds or may not page out
//   v_free_count       MemFree
//   v_cache_count      0, FreeBSD 14's compatibility dummy
//   vfs.bufspace       Buffers, in bytes
//   vm.vmtotal         t_rmshr Shmem; t_vmshr 0 (the host keeps no total of
//                      shared virtual memory); t_free MemFree; t_rm and t_arm
//                      MemTotal - MemFree and Active; t_vm and t_avm
//                      Committed_AS; jobs by state are not filled
//   v_swapin/out       pswpin/pswpout: pages, where FreeBSD counts pager
//                      operations (each one page or more)
//   v_vnodein/out      pgpgin/pgpgout (KiB moved to and from block devices)
//                      in pages, again pages rather than operations
#include <unistd.h>

#include <cstdint>

#include "freebsd/sys/vmmeter.h"
#include "linux/host_text.h"
#include "kern/nodes.h"

namespace compat {
namespace {

std::uint64_t page_size() {
    static const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::uint64_t>(size) : 4096;
}

std::uint64_t kib_to_pages(std::uint64_t kib) { return kib * 1024 / page_size(); }

// The kB figures of the keys, summed; each absent key counts 0.
template <typename... Keys>
std::uint64_t meminfo_kib(std::string_view text, Keys... keys) {
    return (key_number<std::uint64_t>(text, keys, 0) + ...);
}

// Answers the summed pages of meminfo keys as FreeBSD's 32-bit page gauge.
template <typename... Keys>
int meminfo_pages(std::string& out, Keys... keys) {
    FileText text;
    if (int err = text.read_host("proc/meminfo"); err != 0) return err;
    const std::uint64_t pages = kib_to_pages(meminfo_kib(text.view(), keys...));
    append_value(out, static_cast<std::uint32_t>(pages > 0xffffffffu ? 0xffffffffu : pages));
    return 0;
}

// Answers the bytes of one meminfo key as a 64-bit value of type T.
template <typename T>
int meminfo_bytes(std::string& out, std::string_view key) {
    FileText text;
    if (int err = text.read_host("proc/meminfo"); err != 0) return err;
    append_value(out, static_cast<T>(meminfo_kib(text.view(), key) * 1024));
    return 0;
}

// Answers a 64-bit pager counter from /proc/vmstat, scaled by num/den.
int vmstat_counter(std::string& out, std::string_view key, std::uint64_t num = 1, std::uint64_t den = 1) {
    FileText text;
    if (int err = text.read_host("proc/vmstat"); err != 0) return err;
    append_value(out, key_number<std::uint64_t>(text.view(), key, 0, ' ') * num / den);
    return 0;
}

}  // namespace

int read_hw_physmem(NodeArgs, std::string& out) { return meminfo_bytes<std::uint64_t>(out, "MemTotal"); }
int read_vfs_bufspace(NodeArgs, std::string& out) { return meminfo_bytes<std::int64_t>(out, "Buffers"); }
int read_v_active_count(NodeArgs, std::string& out) { return meminfo_pages(out, "Active"); }
int read_v_inactive_count(NodeArgs, std::string& out) { return meminfo_pages(out, "Inactive"); }
int read_v_free_count(NodeArgs, std::string& out) { return meminfo_pages(out, "MemFree"); }
int read_v_wire_count(NodeArgs, std::string& out) {
    return meminfo_pages(out, "SUnreclaim", "KernelStack", "PageTables", "Unevictable");
}

int read_v_cache_count(NodeArgs, std::string& out) {
    append_value(out, std::uint32_t{0});
    return 0;
}

// vm.vmtotal: FreeBSD's shared figures (t_vmshr, t_rmshr and their active
// parts) add up the objects that processes share copy-on-write after fork,
// and leave tmpfs and POSIX or System V shared memory out. The host keeps no
// total of copy-on-write sharing, and its Shmem is exactly the part FreeBSD
// leaves out, so the shared figures are 0.
int read_vmtotal(NodeArgs, std::string& out) {
    FileText text;
    if (int err = text.read_host("proc/meminfo"); err != 0) return err;
    const std::string_view mem = text.view();
    freebsd::vmtotal total{};
    total.t_vm = total.t_avm = kib_to_pages(meminfo_kib(mem, "Committed_AS"));
    const std::uint64_t free_kib = meminfo_kib(mem, "MemFree");
    total.t_rm = kib_to_pages(meminfo_kib(mem, "MemTotal") - free_kib);
    total.t_arm = kib_to_pages(meminfo_kib(mem, "Active"));
    total.t_free = kib_to_pages(free_kib);
    append_value(out, total);
    return 0;
}

int read_v_swapin(NodeArgs, std::string& out) { return vmstat_counter(out, "pswpin"); }
int read_v_swapout(NodeArgs, std::string& out) { return vmstat_counter(out, "pswpout"); }
int read_v_vnodein(NodeArgs, std::string& out) { return vmstat_counter(out, "pgpgin", 1024, page_size()); }
int read_v_vnodeout(NodeArgs, std::string& out) { return vmstat_counter(out, "pgpgout", 1024, page_size()); }

}  // namespace compat
