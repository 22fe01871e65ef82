// The Python-callable functions of both method tables. Each takes the module
// (NULL for the portable ones, unused) and the argument tuple, and returns a
// new object or NULL with an exception set.
#pragma once

#include <Python.h>

#define NORVIK_METHOD(name) PyObject* name(PyObject* self, PyObject* args) noexcept

// Module root
NORVIK_METHOD(norvik_set_debug);

// arch/posix
NORVIK_METHOD(norvik_getpagesize_pywrapper);
NORVIK_METHOD(norvik_proc_is_zombie);
NORVIK_METHOD(norvik_proc_priority_get);
NORVIK_METHOD(norvik_proc_priority_set);

// arch/freebsd: the process table
NORVIK_METHOD(norvik_pids);
NORVIK_METHOD(norvik_check_pid_range);

// arch/freebsd: one process's snapshot, affinity and limits
NORVIK_METHOD(norvik_proc_name);
NORVIK_METHOD(norvik_proc_oneshot_info);
NORVIK_METHOD(norvik_proc_num_threads);
NORVIK_METHOD(norvik_proc_cpu_affinity_get);
NORVIK_METHOD(norvik_proc_cpu_affinity_set);
NORVIK_METHOD(norvik_proc_getrlimit);
NORVIK_METHOD(norvik_proc_setrlimit);

// arch/freebsd: one process's command line, environment, executable and
// working directory; its threads, open files and memory maps
NORVIK_METHOD(norvik_proc_cmdline);
NORVIK_METHOD(norvik_proc_environ);
NORVIK_METHOD(norvik_proc_exe);
NORVIK_METHOD(norvik_proc_cwd);
NORVIK_METHOD(norvik_proc_threads);
NORVIK_METHOD(norvik_proc_open_files);
NORVIK_METHOD(norvik_proc_num_fds);
NORVIK_METHOD(norvik_proc_memory_maps);

// arch/freebsd: CPU count, times, event counters, frequency, topology and
// boot time; memory, swap and the allocator
NORVIK_METHOD(norvik_boot_time);
NORVIK_METHOD(norvik_cpu_count_logical);
NORVIK_METHOD(norvik_cpu_stats);
NORVIK_METHOD(norvik_cpu_times);
NORVIK_METHOD(norvik_per_cpu_times);
NORVIK_METHOD(norvik_swap_mem);
NORVIK_METHOD(norvik_heap_info);
NORVIK_METHOD(norvik_heap_trim);
NORVIK_METHOD(norvik_virtual_mem);
NORVIK_METHOD(norvik_cpu_freq);
NORVIK_METHOD(norvik_cpu_topology);
// Network interfaces: counters (arch/freebsd); addresses, flags, MTU and
// media (arch/posix)
NORVIK_METHOD(norvik_net_io_counters);
NORVIK_METHOD(norvik_net_if_addrs);
NORVIK_METHOD(norvik_net_if_flags);
NORVIK_METHOD(norvik_net_if_is_running);
NORVIK_METHOD(norvik_net_if_mtu);
NORVIK_METHOD(norvik_net_if_duplex_speed);
// arch/freebsd: mounted filesystems and disk counters; battery and CPU
// temperature sensors
NORVIK_METHOD(norvik_disk_io_counters);
NORVIK_METHOD(norvik_disk_partitions);
NORVIK_METHOD(norvik_sensors_battery);
NORVIK_METHOD(norvik_sensors_cpu_temperature);

// arch/posix: the users logged in
NORVIK_METHOD(norvik_users);
// arch/freebsd: the system's sockets and one process's sockets
NORVIK_METHOD(norvik_net_connections);
NORVIK_METHOD(norvik_proc_net_connections);

// Registration of the portable group (arch/posix).
int norvik_posix_add_constants(PyObject* module);
int norvik_posix_add_methods(PyObject* module);
