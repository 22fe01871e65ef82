#include "linux/mount_options.h"

#include "freebsd/sys/mount.h"

namespace compat {
namespace {

struct OptionFlag {
    std::string_view option;
    std::uint64_t flag;
};

// Linux spells the same facts the same way; "sync" appears only among the
// filesystem's options, "nosymfollow" only among the mount's.
constexpr OptionFlag kOptionFlags[] = {
    {"ro", freebsd::MNT_RDONLY},       {"sync", freebsd::MNT_SYNCHRONOUS},
    {"noexec", freebsd::MNT_NOEXEC},   {"nosuid", freebsd::MNT_NOSUID},
    {"noatime", freebsd::MNT_NOATIME}, {"nosymfollow", freebsd::MNT_NOSYMFOLLOW},
};

std::uint64_t flags_of(std::string_view options) {
    std::uint64_t flags = 0;
    while (!options.empty()) {
        auto comma = options.find(',');
        std::string_view option = options.substr(0, comma);
        for (const auto& row : kOptionFlags)
            if (option == row.option) flags |= row.flag;
        if (comma == std::string_view::npos) break;
        options.remove_prefix(comma + 1);
    }
    return flags;
}

}  // namespace

std::uint64_t mount_flags(std::string_view mount_options, std::string_view super_options) {
    // A read-only filesystem makes every mount of it read-only.
    return flags_of(mount_options) | flags_of(super_options);
}

}  // namespace compat
