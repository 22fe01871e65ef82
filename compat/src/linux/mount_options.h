// Linux mount options as FreeBSD's MNT_* flags.
#pragma once

#include <cstdint>
#include <string_view>

namespace compat {

// The flags of a mount from its per-mount options and its filesystem's
// options (both comma-separated, as mountinfo shows them). Options without
// a FreeBSD counterpart (nodev, relatime, strictatime, lazytime, dirsync,
// mand, filesystem-specific ones) set nothing.
std::uint64_t mount_flags(std::string_view mount_options, std::string_view super_options);

}  // namespace compat
