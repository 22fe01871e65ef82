// The host's CPU lists ("0-3,6,8-9"), as /sys/devices/system/cpu writes them.
#pragma once

#include <string_view>
#include <vector>

namespace compat {

// The highest CPU id a list may name: the host's own limit (NR_CPUS is at
// most 8192). A list naming a higher one is not the host's.
inline constexpr int kMaxCpuId = 8191;

// Appends the CPU ids of a list, in its order; false when the text is not
// one (a range backwards, an id above kMaxCpuId).
bool parse_cpu_list(std::string_view text, std::vector<int>& cpus);

// The ids of the online CPUs, ascending, each once. Returns 0 or an errno.
int online_cpus(std::vector<int>& cpus);

// The ids of the CPUs the firmware lists as present (online or not: turned
// off, hyperthreads disabled), ascending, each once. Returns 0 or an errno.
int present_cpus(std::vector<int>& cpus);

}  // namespace compat
