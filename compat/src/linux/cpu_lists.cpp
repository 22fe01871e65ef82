#include "linux/cpu_lists.h"

#include <algorithm>
#include <cerrno>

#include "linux/host_text.h"

namespace compat {

bool parse_cpu_list(std::string_view text, std::vector<int>& cpus) {
    std::string_view rest = next_token(text);
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        std::string_view range = rest.substr(0, comma);
        rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
        const auto dash = range.find('-');
        int first = 0;
        int last = 0;
        if (!to_number(range.substr(0, dash), first) || first < 0) return false;
        last = first;
        if (dash != std::string_view::npos && (!to_number(range.substr(dash + 1), last) || last < first))
            return false;
        if (last > kMaxCpuId) return false;
        for (int cpu = first; cpu <= last; ++cpu) cpus.push_back(cpu);
    }
    return true;
}

namespace {

int listed_cpus(std::string_view rel, std::vector<int>& cpus) {
    FileText text;
    if (int err = text.read_host(rel); err != 0) return err;
    cpus.clear();
    if (!parse_cpu_list(text.view(), cpus) || cpus.empty()) return EIO;
    std::sort(cpus.begin(), cpus.end());
    cpus.erase(std::unique(cpus.begin(), cpus.end()), cpus.end());
    return 0;
}

}  // namespace

int online_cpus(std::vector<int>& cpus) { return listed_cpus("sys/devices/system/cpu/online", cpus); }

int present_cpus(std::vector<int>& cpus) { return listed_cpus("sys/devices/system/cpu/present", cpus); }

}  // namespace compat
