#include "linux/glibc_tunables.h"

#include "linux/host_text.h"

namespace compat {
namespace {

// The next piece of text up to sep, taken off the front of rest.
std::string_view next_piece(std::string_view& rest, char sep) {
    const auto end = rest.find(sep);
    const std::string_view piece = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return piece;
}

}  // namespace

bool glibc_tcache_off(std::string_view environ_block) {
    constexpr std::string_view kTunables = "GLIBC_TUNABLES=";
    constexpr std::string_view kCount = "glibc.malloc.tcache_count=";
    bool off = false;
    while (!environ_block.empty()) {
        std::string_view entry = next_piece(environ_block, '\0');
        if (!entry.starts_with(kTunables)) continue;
        entry.remove_prefix(kTunables.size());
        while (!entry.empty()) {
            const std::string_view item = next_piece(entry, ':');
            unsigned long count = 0;
            if (item.starts_with(kCount) && to_number(item.substr(kCount.size()), count)) off = count == 0;
        }
    }
    return off;
}

bool host_thread_cache_off() {
    static const bool off = [] {
        FileText text;
        return text.read_host("proc/self/environ") == 0 && glibc_tcache_off(text.view());
    }();
    return off;
}

}  // namespace compat
