// Listing the host's /sys folders through the host root.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace compat {

// The entries of a folder relative to the root, without "." and "..",
// sorted so that numbered entries come in their number's order (hwmon2
// before hwmon10). Returns 0 or the errno of the failed open or read.
int list_host_dir(std::string_view rel, std::vector<std::string>& names);

}  // namespace compat
