// The host's CPU lists ("0-3,6,8-9"), as /sys/devices/system/cpu writes them.
#pragma once

#include <string_view>
#include <vector>

namespace compat {

// Appends the CPU ids of a list, in its order; false when the text is not one.
bool parse_cpu_list(std::string_view text, std::vector<int>& cpus);

// The ids of the online CPUs, ascending. Returns 0 or an errno.
int online_cpus(std::vector<int>& cpus);

}  // namespace compat
