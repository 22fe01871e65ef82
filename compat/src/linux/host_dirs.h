// Listing the host's /sys folders through the host root.
#pragma once

#include <cstddef>
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
// host lists them. With `expected`, the number of such entries the folder
// says it holds (0: not known), a listing call that stops with room left
// and brings the count to it ends the listing, as the host would walk the
// whole folder again only to find its end. Returns 0 or the errno of a
// failed listing (a listing cut short is a failure, never a shorter list).
int list_numbered_entries(int dir, std::vector<int>& numbers, int least = 1, std::size_t expected = 0);

}  // namespace compat
