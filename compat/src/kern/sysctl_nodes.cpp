// The table of nodes the stand-in answers. A node's MIB is followed by up to
// max_args per-call integers, which the by-name form spells as extra components
// ("kern.proc.pid.1234").
#include "freebsd/sys/socket.h"
#include "freebsd/sys/sysctl.h"
#include "kern/nodes.h"

namespace compat {
namespace {

using namespace freebsd;

constexpr Node kNodes[] = {
    {"kern.argmax", {CTL_KERN, KERN_ARGMAX}, 2, 0, 0, read_kern_argmax, nullptr, nullptr},
    {"kern.proc.pid", {CTL_KERN, KERN_PROC, KERN_PROC_PID}, 3, 1, 1, read_proc_pid, size_proc_pid, nullptr},
    {"kern.proc.proc", {CTL_KERN, KERN_PROC, KERN_PROC_PROC}, 3, 0, 1, read_proc_all, size_proc_all, nullptr},
    {"kern.proc.pid_td", {CTL_KERN, KERN_PROC, KERN_PROC_PID | KERN_PROC_INC_THREAD}, 3, 1, 1,
     read_proc_pid_threads, size_proc_pid_threads, nullptr},
    {"kern.proc.args", {CTL_KERN, KERN_PROC, KERN_PROC_ARGS}, 3, 1, 1, read_proc_args, size_proc_args, nullptr},
    {"kern.proc.pathname", {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME}, 3, 1, 1, read_proc_pathname, nullptr,
     nullptr},
    {"kern.proc.rlimit", {CTL_KERN, KERN_PROC, KERN_PROC_RLIMIT}, 3, 2, 2, read_proc_rlimit, nullptr,
     write_proc_rlimit},
    // CPU, boot time and memory. Nodes FreeBSD numbers only when it creates
    // them carry numbers from 0x3000 up, as such dynamic numbers would be.
    {"hw.ncpu", {CTL_HW, HW_NCPU}, 2, 0, 0, read_hw_ncpu, nullptr, nullptr},
    {"kern.clockrate", {CTL_KERN, KERN_CLOCKRATE}, 2, 0, 0, read_clockrate, nullptr, nullptr},
    {"kern.cp_time", {CTL_KERN, 0x3000}, 2, 0, 0, read_cp_time, nullptr, nullptr},
    {"kern.cp_times", {CTL_KERN, 0x3001}, 2, 0, 0, read_cp_times, nullptr, nullptr},
    {"kern.boottime", {CTL_KERN, KERN_BOOTTIME}, 2, 0, 0, read_boottime, nullptr, nullptr},
    {"kern.sched.topology_spec", {CTL_KERN, 0x3002, 0x3000}, 3, 0, 0, read_topology_spec, nullptr, nullptr},
    {"vm.stats.sys.v_swtch", {CTL_VM, 0x3000, 0x3000, 0x3000}, 4, 0, 0, read_v_swtch, nullptr, nullptr, true},
    {"vm.stats.sys.v_trap", {CTL_VM, 0x3000, 0x3000, 0x3001}, 4, 0, 0, read_v_trap, nullptr, nullptr, true},
    {"vm.stats.sys.v_syscall", {CTL_VM, 0x3000, 0x3000, 0x3002}, 4, 0, 0, read_v_syscall, nullptr, nullptr,
     true},
    {"vm.stats.sys.v_intr", {CTL_VM, 0x3000, 0x3000, 0x3003}, 4, 0, 0, read_v_intr, nullptr, nullptr, true},
    {"vm.stats.sys.v_soft", {CTL_VM, 0x3000, 0x3000, 0x3004}, 4, 0, 0, read_v_soft, nullptr, nullptr, true},
    {"dev.cpu.#.freq", {0x3000, 0x3000, 0x3000}, 3, 1, 1, read_cpu_freq, nullptr, nullptr},
    {"dev.cpu.#.freq_levels", {0x3000, 0x3000, 0x3001}, 3, 1, 1, read_cpu_freq_levels, nullptr, nullptr},
    {"hw.physmem", {CTL_HW, HW_PHYSMEM}, 2, 0, 0, read_hw_physmem, nullptr, nullptr},
    {"vm.stats.vm.v_active_count", {CTL_VM, 0x3000, 0x3001, 0x3000}, 4, 0, 0, read_v_active_count, nullptr,
     nullptr},
    {"vm.stats.vm.v_inactive_count", {CTL_VM, 0x3000, 0x3001, 0x3001}, 4, 0, 0, read_v_inactive_count,
     nullptr, nullptr},
    {"vm.stats.vm.v_wire_count", {CTL_VM, 0x3000, 0x3001, 0x3002}, 4, 0, 0, read_v_wire_count, nullptr,
     nullptr},
    {"vm.stats.vm.v_cache_count", {CTL_VM, 0x3000, 0x3001, 0x3003}, 4, 0, 0, read_v_cache_count, nullptr,
     nullptr},
    {"vm.stats.vm.v_free_count", {CTL_VM, 0x3000, 0x3001, 0x3004}, 4, 0, 0, read_v_free_count, nullptr,
     nullptr},
    {"vm.stats.vm.v_swapin", {CTL_VM, 0x3000, 0x3001, 0x3005}, 4, 0, 0, read_v_swapin, nullptr, nullptr, true},
    {"vm.stats.vm.v_swapout", {CTL_VM, 0x3000, 0x3001, 0x3006}, 4, 0, 0, read_v_swapout, nullptr, nullptr,
     true},
    {"vm.stats.vm.v_vnodein", {CTL_VM, 0x3000, 0x3001, 0x3007}, 4, 0, 0, read_v_vnodein, nullptr, nullptr,
     true},
    {"vm.stats.vm.v_vnodeout", {CTL_VM, 0x3000, 0x3001, 0x3008}, 4, 0, 0, read_v_vnodeout, nullptr, nullptr,
     true},
    {"vm.vmtotal", {CTL_VM, VM_TOTAL}, 2, 0, 0, read_vmtotal, nullptr, nullptr},
    {"vfs.bufspace", {3, 0x3000}, 2, 0, 0, read_vfs_bufspace, nullptr, nullptr},
    {"net.routetable", {CTL_NET, PF_ROUTE}, 2, 4, 4, read_route_table, size_route_table, nullptr},
    // Dynamic nodes (FreeBSD numbers them from 0x100 at boot; callers use the names).
    {"hw.acpi.battery.life", {CTL_HW, 0x1a30, 0x1a31, 1}, 4, 0, 0, read_acpi_battery_life, nullptr, nullptr},
    {"hw.acpi.battery.time", {CTL_HW, 0x1a30, 0x1a31, 2}, 4, 0, 0, read_acpi_battery_time, nullptr, nullptr},
    {"hw.acpi.acline", {CTL_HW, 0x1a30, 0x1a32}, 3, 0, 0, read_acpi_acline, nullptr, nullptr},
    {"dev.cpu.#.temperature", {0x1a40, 0x1a41, 1}, 3, 1, 1, read_cpu_temperature, nullptr, nullptr},
    {"dev.cpu.#.coretemp.tjmax", {0x1a40, 0x1a41, 2}, 3, 1, 1, read_cpu_tjmax, nullptr, nullptr},
    {"kern.file", {CTL_KERN, KERN_FILE}, 2, 0, 0, read_kern_file, size_kern_file, nullptr},
    {"net.inet.tcp.pcblist", {CTL_NET, AF_INET, IPPROTO_TCP, TCPCTL_PCBLIST}, 4, 0, 0, read_tcp_pcblist,
     size_tcp_pcblist, nullptr},
    {"net.inet.udp.pcblist", {CTL_NET, AF_INET, IPPROTO_UDP, UDPCTL_PCBLIST}, 4, 0, 0, read_udp_pcblist,
     size_udp_pcblist, nullptr},
    {"net.local.stream.pcblist", {CTL_NET, AF_UNIX, SOCK_STREAM, CTL_AUTO_START}, 4, 0, 0,
     read_local_stream_pcblist, size_local_pcblist, nullptr},
    {"net.local.dgram.pcblist", {CTL_NET, AF_UNIX, SOCK_DGRAM, CTL_AUTO_START + 1}, 4, 0, 0,
     read_local_dgram_pcblist, size_local_pcblist, nullptr},
    {"net.local.seqpacket.pcblist", {CTL_NET, AF_UNIX, SOCK_SEQPACKET, CTL_AUTO_START + 2}, 4, 0, 0,
     read_local_seqpacket_pcblist, size_local_pcblist, nullptr},
};

}  // namespace

std::span<const Node> sysctl_nodes() { return kNodes; }

}  // namespace compat
