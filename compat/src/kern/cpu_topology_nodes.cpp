// The scheduler's CPU topology (kern.sched.topology_spec) and the cpufreq
// nodes (dev.cpu.N.freq, dev.cpu.N.freq_levels), from /sys/devices/system/cpu.
//
// The topology is FreeBSD's XML: a root group of every online CPU, split
// into child groups by package and then by each shared data or unified cache
// (L3, L2, L1). A group's cache level is the largest cache its CPUs share
// among themselves alone (0: none); a group of SMT siblings carries the
// THREAD and SMT flags. A machine of one CPU has only the root group, with
// cache level 0.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kern/nodes.h"
#include "linux/cpu_lists.h"
#include "linux/host_failure.h"
#include "linux/host_text.h"

namespace compat {
namespace {

using CpuSet = std::vector<int>;  // ascending ids

constexpr int kMaskWords = 16;  // MAXCPU 1024 in 64-bit words

// One way of splitting CPUs into groups: by package (cache level 0) or by a
// shared cache of one level. Each CPU's group, by CPU id.
struct Split {
    int cache_level;
    std::vector<CpuSet> group_of;
};

// The paths of one CPU's files, built in place: its folder once, then each
// file's name over the last one's. The topology reads a dozen files per CPU,
// none of whose paths is then formatted or allocated on its own.
class CpuPath {
public:
    explicit CpuPath(int cpu) {
        append("sys/devices/system/cpu/cpu");
        append_number(cpu);
        append("/");
        folder_ = len_;
    }
    std::string_view file(std::string_view name) {
        len_ = folder_;
        append(name);
        return {buf_, len_};
    }
    // cache/indexN/name
    std::string_view cache_file(int index, std::string_view name) {
        len_ = folder_;
        append("cache/index");
        append_number(index);
        append("/");
        append(name);
        return {buf_, len_};
    }

private:
    void append(std::string_view text) {
        const std::size_t n = std::min(text.size(), sizeof buf_ - len_);
        std::memcpy(buf_ + len_, text.data(), n);
        len_ += n;
    }
    void append_number(int value) {
        len_ = static_cast<std::size_t>(std::to_chars(buf_ + len_, buf_ + sizeof buf_, value).ptr - buf_);
    }

    char buf_[96];
    std::size_t len_ = 0;
    std::size_t folder_ = 0;
};

// The online CPUs of a CPU list file into out; empty when the host has no
// such file or its text is no list. Returns 0 or the errno of a read that
// failed otherwise.
int read_cpu_set(std::string_view rel, const CpuSet& online, CpuSet& out) {
    out.clear();
    FileText text;
    CpuSet listed;
    if (int err = text.read_host(rel); err != 0) return skip_if_gone(err);
    if (!parse_cpu_list(text.view(), listed)) return 0;
    for (int cpu : listed)
        if (std::binary_search(online.begin(), online.end(), cpu)) out.push_back(cpu);
    std::sort(out.begin(), out.end());
    return 0;
}

struct Topology {
    CpuSet online;
    std::vector<CpuSet> siblings;  // SMT siblings, by CPU id
    std::vector<Split> splits;     // package first, then caches from L3 down

    Split& split_for(int cache_level) {
        for (Split& s : splits)
            if (s.cache_level == cache_level) return s;
        splits.push_back({cache_level, std::vector<CpuSet>(static_cast<std::size_t>(online.back()) + 1)});
        return splits.back();
    }
};

int read_topology(Topology& topo) {
    if (int err = online_cpus(topo.online); err != 0) return err;
    const std::size_t slots = static_cast<std::size_t>(topo.online.back()) + 1;
    topo.siblings.assign(slots, {});
    topo.split_for(0);  // packages, always the first split
    std::vector<long> package_of(slots, -1);
    for (int cpu : topo.online) {
        FileText text;
        CpuPath path(cpu);
        if (int err = text.read_host(path.file("topology/physical_package_id")); err != 0) {
            if (int failed = skip_if_gone(err); failed != 0) return failed;
        } else {
            leading_numbers(text.view(), &package_of[cpu], 1);
        }
        if (int err =
                read_cpu_set(path.file("topology/thread_siblings_list"), topo.online, topo.siblings[cpu]);
            err != 0)
            return err;
        if (topo.siblings[cpu].empty()) topo.siblings[cpu] = {cpu};
        // The caches are numbered from 0 up to the first that is missing.
        for (int index = 0;; ++index) {
            int level = 0;
            if (int err = text.read_host(path.cache_file(index, "level")); err != 0) {
                if (int failed = skip_if_gone(err); failed != 0) return failed;
                break;
            }
            if (!to_number(text.view(), level)) break;
            if (int err = text.read_host(path.cache_file(index, "type")); err != 0) {
                if (int failed = skip_if_gone(err); failed != 0) return failed;
            } else if (text.view().substr(0, 11) == "Instruction") {
                continue;
            }
            CpuSet shared;
            if (int err = read_cpu_set(path.cache_file(index, "shared_cpu_list"), topo.online, shared);
                err != 0)
                return err;
            if (!shared.empty() && level > 0) topo.split_for(level).group_of[cpu] = std::move(shared);
        }
    }
    for (int cpu : topo.online)
        for (int other : topo.online)
            if (package_of[other] == package_of[cpu]) topo.splits[0].group_of[cpu].push_back(other);
    // Caches from the outermost in; a CPU a cache does not list is alone in it.
    std::sort(topo.splits.begin() + 1, topo.splits.end(),
              [](const Split& a, const Split& b) { return a.cache_level > b.cache_level; });
    for (Split& s : topo.splits)
        for (int cpu : topo.online)
            if (s.group_of[cpu].empty()) s.group_of[cpu] = {cpu};
    return 0;
}

// The CPUs of set divided by one split, each part ascending, in order of
// their first CPU.
std::vector<CpuSet> divide(const CpuSet& set, const Split& split) {
    std::vector<CpuSet> parts;
    for (int cpu : set) {
        const CpuSet& group = split.group_of[cpu];
        auto it = std::find_if(parts.begin(), parts.end(), [&](const CpuSet& p) {
            return std::binary_search(group.begin(), group.end(), p.front());
        });
        if (it == parts.end())
            parts.push_back({cpu});
        else
            it->push_back(cpu);
    }
    return parts;
}

void append_cpu_element(std::string& out, const CpuSet& set) {
    unsigned long long words[kMaskWords] = {};
    for (int cpu : set)
        if (cpu < kMaskWords * 64) words[cpu / 64] |= 1ULL << (cpu % 64);
    char buf[24];
    out += "<cpu count=\"" + std::to_string(set.size()) + "\" mask=\"";
    for (int w = 0; w < kMaskWords; ++w) {
        if (w != 0) out.push_back(',');
        out.append(buf,
                   static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, words[w], 16).ptr - buf));
    }
    out += "\">";
    for (std::size_t i = 0; i < set.size(); ++i) {
        if (i != 0) out += ", ";
        out += std::to_string(set[i]);
    }
    out += "</cpu>\n";
}

void append_group(std::string& out, const Topology& topo, const CpuSet& set, std::size_t split, int depth) {
    int cache_level = 0;
    std::vector<CpuSet> parts;
    for (; split < topo.splits.size(); ++split) {
        parts = divide(set, topo.splits[split]);
        if (parts.size() > 1) break;
        // The largest cache these CPUs share among themselves alone.
        cache_level = std::max(cache_level, topo.splits[split].cache_level);
    }
    const std::string pad(static_cast<std::size_t>(2 * depth - 1), ' ');
    out += pad + "<group level=\"" + std::to_string(depth) + "\" cache-level=\"" +
           std::to_string(cache_level) + "\">\n" + pad + " ";
    append_cpu_element(out, set);
    if (set.size() > 1 && topo.siblings[set.front()] == set)
        out +=
            pad +
            " <flags><flag name=\"THREAD\">THREAD group</flag><flag name=\"SMT\">SMT group</flag></flags>\n";
    if (split < topo.splits.size()) {
        out += pad + " <children>\n";
        for (const CpuSet& part : parts) append_group(out, topo, part, split, depth + 1);
        out += pad + " </children>\n";
    }
    out += pad + "</group>\n";
}

// The host's frequencies are in kHz; FreeBSD's in MHz.
int cpufreq_file(NodeArgs args, const char* name, FileText& text) {
    if (args.empty() || args[0] < 0) return ENOENT;
    return text.read_host(CpuPath(args[0]).file(std::string("cpufreq/") + name));
}

}  // namespace

int read_topology_spec(NodeArgs, std::string& out) {
    Topology topo;
    if (int err = read_topology(topo); err != 0) return err;
    out += "<groups>\n";
    // A machine of one CPU has no topology to speak of: FreeBSD gives it the
    // bare root group, which shares nothing (cache level 0), whatever caches
    // the CPU has.
    append_group(out, topo, topo.online, topo.online.size() > 1 ? 0 : topo.splits.size(), 1);
    out += "</groups>\n";
    out.push_back('\0');
    return 0;
}

// dev.cpu.N.freq: the current frequency where a cpufreq driver runs; a host
// without one answers as FreeBSD without a cpufreq driver, ENOENT. The MHz
// in /proc/cpuinfo is not used: FreeBSD has no such node without a driver.
int read_cpu_freq(NodeArgs args, std::string& out) {
    FileText text;
    if (int err = cpufreq_file(args, "scaling_cur_freq", text); err != 0) return err;
    long khz = 0;
    if (leading_numbers(text.view(), &khz, 1) != 1) return EIO;
    append_value(out, static_cast<int>(khz / 1000));
    return 0;
}

// dev.cpu.N.freq_levels: "MHz/mW" pairs, highest first; the host knows no
// power, which FreeBSD prints as -1. Every CPU with a freq node has one
// (cpufreq makes both): a driver without a table of levels (intel_pstate,
// amd-pstate) gets the one level cpufreq_levels_sysctl makes up, the
// highest frequency with its power unknown, "<max>/-1"; the hardware's
// highest (cpuinfo_max_freq) is the host's closest, else the policy's.
// With no highest known either: "0", as FreeBSD prints an empty list.
int read_cpu_freq_levels(NodeArgs args, std::string& out) {
    FileText text;
    std::vector<long> mhz;
    int err = cpufreq_file(args, "scaling_available_frequencies", text);
    if (err == ENOENT) {
        if (err = cpufreq_file(args, "scaling_cur_freq", text); err != 0) return err;
        for (const char* highest : {"cpuinfo_max_freq", "scaling_max_freq"}) {
            if (err = cpufreq_file(args, highest, text); err != 0 && err != ENOENT) return err;
            long khz = 0;
            if (err == 0 && leading_numbers(text.view(), &khz, 1) == 1 && khz > 0) {
                mhz.push_back(khz / 1000);
                break;
            }
        }
    } else if (err != 0) {
        return err;
    } else {
        std::string_view rest = text.view();
        for (std::string_view token = next_token(rest); !token.empty(); token = next_token(rest)) {
            long khz = 0;
            if (to_number(token, khz)) mhz.push_back(khz / 1000);
        }
    }
    std::sort(mhz.rbegin(), mhz.rend());
    for (std::size_t i = 0; i < mhz.size(); ++i) {
        if (i != 0) out.push_back(' ');
        out.append(std::to_string(mhz[i])).append("/-1");
    }
    if (mhz.empty()) out += "0";
    out.push_back('\0');
    return 0;
}

}  // namespace compat
