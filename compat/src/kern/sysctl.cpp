// sysctl(3) and sysctlbyname(3) over the node table.
#include "freebsd/sys/sysctl.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "entry.h"
#include "kern/sysctl_table.h"
#include "linux/host_files.h"
#include "script/script.h"

namespace compat {
namespace {

constexpr unsigned kMaxArgs = 4;

// The node whose MIB begins the name, with the rest as its per-call integers.
// Sets err to ENOENT (no such node) or EINVAL (wrong number of integers).
const Node* find_by_mib(const int* name, unsigned namelen, NodeArgs& args, int& err) {
    err = ENOENT;
    for (const Node& node : sysctl_nodes()) {
        if (namelen < node.mib_len ||
            std::memcmp(name, node.mib, node.mib_len * sizeof(int)) != 0)
            continue;
        unsigned extra = namelen - node.mib_len;
        if (extra < node.min_args || extra > node.max_args) {
            err = EINVAL;
            continue;
        }
        args = NodeArgs(name + node.mib_len, extra);
        return &node;
    }
    return nullptr;
}

bool parse_int(std::string_view text, int& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// Matches the front of name against a node's dotted name, where a "#"
// component stands for one integer, stored in order. Returns what follows the
// node's own name ("" or ".<more>"), or a null view when the node does not match.
std::string_view match_name(std::string_view name, std::string_view own, int (&storage)[kMaxArgs],
                            unsigned& count) {
    count = 0;
    while (!own.empty()) {
        auto own_dot = own.find('.');
        std::string_view want = own.substr(0, own_dot);
        auto dot = name.find('.');
        std::string_view part = name.substr(0, dot);
        if (want == "#") {
            if (count == kMaxArgs || !parse_int(part, storage[count])) return {};
            ++count;
        } else if (part != want) {
            return {};
        }
        own = own_dot == std::string_view::npos ? std::string_view() : own.substr(own_dot + 1);
        name = dot == std::string_view::npos ? std::string_view("") : name.substr(dot);
        if (!own.empty()) {
            if (name.empty()) return {};
            name.remove_prefix(1);
        }
    }
    return name;
}

const Node* find_by_name(std::string_view name, int (&storage)[kMaxArgs], NodeArgs& args,
                         int& err) {
    err = ENOENT;
    for (const Node& node : sysctl_nodes()) {
        unsigned count = 0;
        std::string_view rest = match_name(name, node.name, storage, count);
        if (rest.data() == nullptr) continue;
        // A node named with an integer inside ("dev.cpu.#.freq") is a leaf:
        // nothing follows it, as no name goes on past a FreeBSD leaf.
        if (count > 0 && !rest.empty()) continue;
        bool numeric = true;
        while (!rest.empty()) {
            rest.remove_prefix(1);  // the dot
            auto dot = rest.find('.');
            std::string_view part = rest.substr(0, dot);
            if (count == kMaxArgs || !parse_int(part, storage[count])) {
                numeric = false;
                break;
            }
            ++count;
            rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot);
        }
        if (!numeric) continue;
        if (count < node.min_args || count > node.max_args) {
            err = EINVAL;
            continue;
        }
        args = NodeArgs(storage, count);
        return &node;
    }
    return nullptr;
}

#ifdef NORVIK_SCRIPTED
// The name as the caller spells it: "#" components filled in, the other
// integers after the node's own name ("dev.cpu.3.temperature", "kern.proc.pid.12").
std::string script_key(const Node& node, NodeArgs args) {
    std::string key;
    std::size_t used = 0;
    for (std::string_view own(node.name); !own.empty();) {
        auto dot = own.find('.');
        std::string_view part = own.substr(0, dot);
        if (!key.empty()) key.push_back('.');
        if (part == "#" && used < args.size())
            key += std::to_string(args[used++]);
        else
            key += part;
        own = dot == std::string_view::npos ? std::string_view() : own.substr(dot + 1);
    }
    for (; used < args.size(); ++used) {
        key.push_back('.');
        key += std::to_string(args[used]);
    }
    return key;
}
#endif

// A read into a buffer too short for the answer fails with ENOMEM and leaves
// the caller to grow its buffer and read again. The answer built for it is
// kept for that retry on the same thread, if it follows at once, as FreeBSD's
// kernel makes a failed read cheap: a table a caller grows into by doubling
// from a small buffer is built once, not once per doubling. Any other read,
// or a later one, builds afresh.
struct ShortRead {
    const Node* node = nullptr;
    std::vector<int> args;
    std::string root;
    std::string bytes;
    std::timespec when{};
};
thread_local ShortRead short_read;

constexpr long long kShortReadNanos = 100'000'000;  // 100 ms

long long now_nanos() {
    std::timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// Takes the kept answer when it is this read's retry (with the moment it was
// built); drops it either way.
bool take_short_read(const Node& node, NodeArgs args, std::string& out, std::timespec& built_at) {
    ShortRead& kept = short_read;
    if (kept.node == nullptr) return false;
    const bool same = kept.node == &node && std::equal(args.begin(), args.end(), kept.args.begin(), kept.args.end()) &&
                      kept.root == host_root() &&
                      now_nanos() - (kept.when.tv_sec * 1'000'000'000LL + kept.when.tv_nsec) < kShortReadNanos;
    kept.node = nullptr;
    if (same) {
        out.swap(kept.bytes);
        built_at = kept.when;
    }
    kept.bytes.clear();
    return same;
}

// Keeps an answer built at built_at: a kept answer that still did not fit
// ages from when it was built, never from when it was last offered.
void keep_short_read(const Node& node, NodeArgs args, std::string& bytes, const std::timespec& built_at) {
    ShortRead& kept = short_read;
    kept.args.assign(args.begin(), args.end());
    kept.root = host_root();
    kept.bytes.swap(bytes);
    kept.when = built_at;
    kept.node = &node;
}

// Reads (or sizes) the node's answer. Returns 0 or an errno.
int read_node(const Node& node, NodeArgs args, std::string_view key, void* oldp,
              std::size_t* oldlenp) {
    auto outcome = script::consult(key, oldp == nullptr ? script::Kind::size : script::Kind::read);
    if (outcome.fail) return outcome.err;
    if (node.read == nullptr) return EPERM;

    if (oldp == nullptr) {
        if (outcome.size >= 0) {
            *oldlenp = static_cast<std::size_t>(outcome.size);
            return 0;
        }
        if (outcome.answer != nullptr) {
            *oldlenp = outcome.answer->size();
            return 0;
        }
        if (node.size != nullptr) return node.size(args, *oldlenp);
        std::string probe;
        int err = node.read(args, probe);
        if (err == 0) *oldlenp = probe.size();
        return err;
    }
    if (outcome.grow) return ENOMEM;

    std::string built;
    std::timespec built_at{};
    const std::string* data = outcome.answer;
    if (data == nullptr) {
        if (!take_short_read(node, args, built, built_at)) {
            ::clock_gettime(CLOCK_MONOTONIC, &built_at);
            int err = node.read(args, built);
            if (err != 0) return err;
        }
        data = &built;
    }
    if (node.wide_counter && *oldlenp == sizeof(std::uint32_t) && data->size() == sizeof(std::uint64_t)) {
        std::memcpy(oldp, data->data(), sizeof(std::uint32_t));  // the low half, little-endian
        return 0;
    }
    if (data->size() > *oldlenp) {
        std::memcpy(oldp, data->data(), *oldlenp);
        if (outcome.overreport) {
            *oldlenp = data->size();
            return 0;
        }
        if (data == &built) keep_short_read(node, args, built, built_at);
        return ENOMEM;
    }
    std::memcpy(oldp, data->data(), data->size());
    *oldlenp = data->size();
    return 0;
}

int call_node(const Node& node, NodeArgs args, void* oldp, std::size_t* oldlenp,
              const void* newp, std::size_t newlen) {
#ifdef NORVIK_SCRIPTED
    const std::string key = script_key(node, args);
#else
    constexpr std::string_view key;
#endif
    if (oldlenp != nullptr) {
        if (int err = read_node(node, args, key, oldp, oldlenp); err != 0) return err;
    }
    if (newp != nullptr) {
        auto outcome = script::consult(key, script::Kind::write);
        if (outcome.fail) return outcome.err;
        if (node.write == nullptr) return EPERM;
        return node.write(args, newp, newlen);
    }
    return 0;
}

int finish(int err) {
    if (err == 0) return 0;
    errno = err;
    return -1;
}

}  // namespace
}  // namespace compat

namespace freebsd {

// A node whose answer can't be built for want of memory fails with ENOMEM,
// as the kernel's sysctl does when it can't wire the caller's buffer or
// allocate its own.
int sysctl(const int* name, unsigned int namelen, void* oldp, std::size_t* oldlenp,
           const void* newp, std::size_t newlen) {
    return compat::guarded_call(-1, [&] {
        if (name == nullptr) return compat::finish(EFAULT);
        if (namelen < 2 || namelen > static_cast<unsigned>(CTL_MAXNAME)) return compat::finish(EINVAL);
        compat::NodeArgs args;
        int err = 0;
        const compat::Node* node = compat::find_by_mib(name, namelen, args, err);
        if (node == nullptr) return compat::finish(err);
        return compat::finish(compat::call_node(*node, args, oldp, oldlenp, newp, newlen));
    });
}

int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                 std::size_t newlen) {
    return compat::guarded_call(-1, [&] {
        if (name == nullptr) return compat::finish(EFAULT);
        int storage[compat::kMaxArgs];
        compat::NodeArgs args;
        int err = 0;
        const compat::Node* node = compat::find_by_name(name, storage, args, err);
        if (node == nullptr) return compat::finish(err);
        return compat::finish(compat::call_node(*node, args, oldp, oldlenp, newp, newlen));
    });
}

}  // namespace freebsd
