// Listing the host's /sys folders through the host root.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "linux/host_files.h"

namespace compat {

// The entries of a folder relative to the root, without "." and "..",
// sorted so that numbered entries come in their number's order (hwmon2
// before hwmon10). Returns 0 or the errno of the failed open or read.
int list_host_dir(std::string_view rel, std::vector<std::string>& names);

// The entries of an open folder whose names are decimal numbers of at least
// `least` (pids and thread ids from 1, descriptors from 0), in the order the
// host lists them; the folder's descriptor is taken over and closed. Returns
// 0 or the errno of a failed listing (a listing cut short is a failure,
// never a shorter list).
int list_numbered_entries(Fd dir, std::vector<int>& numbers, int least = 1);

}  // namespace compat
