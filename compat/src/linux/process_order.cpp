#include "linux/process_order.h"

#include <algorithm>

#include "linux/host_text.h"

namespace compat {

void order_newest_first(std::vector<int>& pids) {
    if (pids.empty()) return;
    const int highest = *std::max_element(pids.begin(), pids.end());
    long last = 0;
    long limit = 0;
    if (!host_number("proc/sys/kernel/ns_last_pid", last) || last <= 0) last = highest;
    if (!host_number("proc/sys/kernel/pid_max", limit) || limit <= highest)
        limit = static_cast<long>(highest) + 1;
    if (last >= limit) last = limit - 1;
    // How many pids were given since this one: 0 for the newest.
    auto age = [last, limit](int pid) {
        const long distance = last - static_cast<long>(pid);
        return distance >= 0 ? distance : distance + limit;
    };
    std::sort(pids.begin(), pids.end(), [&](int a, int b) { return age(a) < age(b); });
}

}  // namespace compat
