// Handlers of the kernel state tree, grouped by the host facts they read.
#pragma once

#include <cstring>
#include <string>

#include "kern/sysctl_table.h"

namespace compat {

// Appends a plain value's bytes to an answer.
template <typename T>
void append_value(std::string& out, const T& value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// kern_nodes.cpp: machine-wide kernel limits.
int read_kern_argmax(NodeArgs args, std::string& out);

// proc_nodes.cpp: the process table.
// A size question about a table of process or thread records is answered
// as FreeBSD's sysctl_kern_proc answers it, five records over the count, so
// that a caller who sizes, allocates and reads rarely meets ENOMEM while
// processes are forked.
inline constexpr std::size_t kProcessSlack = 5;
std::size_t with_process_slack(std::size_t records);
int read_proc_pid(NodeArgs args, std::string& out);
int size_proc_pid(NodeArgs args, std::size_t& size);
int read_proc_pid_threads(NodeArgs args, std::string& out);
int read_proc_all(NodeArgs args, std::string& out);
int size_proc_all(NodeArgs args, std::size_t& size);

// rlimit_nodes.cpp: one resource limit of one process (pid, resource).
int read_proc_rlimit(NodeArgs args, std::string& out);
int write_proc_rlimit(NodeArgs args, const void* data, std::size_t len);

// proc_text_nodes.cpp: a process's argument area and executable path, and
// the size of its per-thread records.
int read_proc_args(NodeArgs args, std::string& out);
int size_proc_args(NodeArgs args, std::size_t& size);
int read_proc_pathname(NodeArgs args, std::string& out);
int size_proc_pid_threads(NodeArgs args, std::size_t& size);

// cpu_stat_nodes.cpp: CPU count, clock rates, tick counters, boot time, event
// counters.
int read_hw_ncpu(NodeArgs args, std::string& out);
int read_clockrate(NodeArgs args, std::string& out);
int read_cp_time(NodeArgs args, std::string& out);
int read_cp_times(NodeArgs args, std::string& out);
int read_boottime(NodeArgs args, std::string& out);
int read_v_swtch(NodeArgs args, std::string& out);
int read_v_intr(NodeArgs args, std::string& out);
int read_v_soft(NodeArgs args, std::string& out);
int read_v_syscall(NodeArgs args, std::string& out);
int read_v_trap(NodeArgs args, std::string& out);

// cpu_topology_nodes.cpp: the scheduler's topology and one CPU's frequency.
int read_topology_spec(NodeArgs args, std::string& out);
int read_cpu_freq(NodeArgs args, std::string& out);
int read_cpu_freq_levels(NodeArgs args, std::string& out);

// memory_nodes.cpp: physical memory, page queues, totals, pager counters.
int read_hw_physmem(NodeArgs args, std::string& out);
int read_vfs_bufspace(NodeArgs args, std::string& out);
int read_v_active_count(NodeArgs args, std::string& out);
int read_v_inactive_count(NodeArgs args, std::string& out);
int read_v_wire_count(NodeArgs args, std::string& out);
int read_v_cache_count(NodeArgs args, std::string& out);
int read_v_free_count(NodeArgs args, std::string& out);
int read_vmtotal(NodeArgs args, std::string& out);
int read_v_swapin(NodeArgs args, std::string& out);
int read_v_swapout(NodeArgs args, std::string& out);
int read_v_vnodein(NodeArgs args, std::string& out);
int read_v_vnodeout(NodeArgs args, std::string& out);
// route_nodes.cpp: the interface list as routing messages (protocol,
// family, request, interface index).
int read_route_table(NodeArgs args, std::string& out);
int size_route_table(NodeArgs args, std::size_t& size);
// sensor_nodes.cpp: the ACPI battery and the CPU temperature sensors.
int read_acpi_battery_life(NodeArgs args, std::string& out);
int read_acpi_battery_time(NodeArgs args, std::string& out);
int read_acpi_acline(NodeArgs args, std::string& out);
int read_cpu_temperature(NodeArgs args, std::string& out);
int read_cpu_tjmax(NodeArgs args, std::string& out);
// socket_nodes.cpp: the open-file table and the socket control block lists.
int read_kern_file(NodeArgs args, std::string& out);
int size_kern_file(NodeArgs args, std::size_t& size);
int read_tcp_pcblist(NodeArgs args, std::string& out);
int size_tcp_pcblist(NodeArgs args, std::size_t& size);
int read_udp_pcblist(NodeArgs args, std::string& out);
int size_udp_pcblist(NodeArgs args, std::size_t& size);
// The unix-domain lists count every unix socket, of any type.
int size_local_pcblist(NodeArgs args, std::size_t& size);
int read_local_stream_pcblist(NodeArgs args, std::string& out);
int read_local_dgram_pcblist(NodeArgs args, std::string& out);
int read_local_seqpacket_pcblist(NodeArgs args, std::string& out);

}  // namespace compat
