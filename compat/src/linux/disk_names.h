// Linux block device names as FreeBSD's device name and unit number.
#pragma once

#include <string_view>

namespace compat {

// Splits a Linux disk name so that name followed by unit spells a key no
// other disk has:
//   - a name ending in digits: the digits are the unit and the rest the name,
//     so the key is the Linux name itself (nvme0n1, mmcblk0, dm-0, loop3, md127);
//   - sd, vd, hd and xvd disks number their units with letters (a..z, aa ...):
//     the letters are the unit counted from 0, as FreeBSD numbers da0, vtbd0
//     (sda -> sd0, vdb -> vd1, sdaa -> sd26);
//   - any other name is its own name with unit 0.
// Names longer than FreeBSD's 15 characters are cut where the record is filled.
struct DiskName {
    std::string_view name;
    int unit;
};
DiskName split_disk_name(std::string_view linux_name);

}  // namespace compat
