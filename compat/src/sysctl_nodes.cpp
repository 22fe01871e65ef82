// The table of nodes the stand-in answers. A node's MIB is followed by up to
// max_args per-call integers, which the by-name form spells as extra components
// ("kern.proc.pid.1234").
#include "freebsd/sys/sysctl.h"
#include "nodes.h"

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
    // Dynamic nodes (FreeBSD numbers them from 0x100 at boot; callers use the names).
    {"hw.acpi.battery.life", {CTL_HW, 0x1a30, 0x1a31, 1}, 4, 0, 0, read_acpi_battery_life, nullptr, nullptr},
    {"hw.acpi.battery.time", {CTL_HW, 0x1a30, 0x1a31, 2}, 4, 0, 0, read_acpi_battery_time, nullptr, nullptr},
    {"hw.acpi.acline", {CTL_HW, 0x1a30, 0x1a32}, 3, 0, 0, read_acpi_acline, nullptr, nullptr},
    {"dev.cpu.#.temperature", {0x1a40, 0x1a41, 1}, 3, 1, 1, read_cpu_temperature, nullptr, nullptr},
    {"dev.cpu.#.coretemp.tjmax", {0x1a40, 0x1a41, 2}, 3, 1, 1, read_cpu_tjmax, nullptr, nullptr},
};

}  // namespace

std::span<const Node> sysctl_nodes() { return kNodes; }

}  // namespace compat
