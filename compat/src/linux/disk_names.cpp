#include "linux/disk_names.h"

namespace compat {

DiskName split_disk_name(std::string_view linux_name) {
    std::size_t digits = linux_name.size();
    while (digits > 0 && linux_name[digits - 1] >= '0' && linux_name[digits - 1] <= '9') --digits;
    if (digits > 0 && digits < linux_name.size() && linux_name.size() - digits <= 9) {
        int unit = 0;
        for (char c : linux_name.substr(digits)) unit = unit * 10 + (c - '0');
        return {linux_name.substr(0, digits), unit};
    }
    for (std::string_view prefix : {"xvd", "sd", "vd", "hd"}) {
        if (linux_name.size() <= prefix.size() || linux_name.substr(0, prefix.size()) != prefix) continue;
        std::string_view letters = linux_name.substr(prefix.size());
        if (letters.size() > 4) break;
        // Bijective base 26: a=1 ... z=26, aa=27; the unit counts from 0.
        int value = 0;
        bool all_letters = true;
        for (char c : letters) {
            if (c < 'a' || c > 'z') {
                all_letters = false;
                break;
            }
            value = value * 26 + (c - 'a' + 1);
        }
        if (all_letters) return {prefix, value - 1};
        break;
    }
    return {linux_name, 0};
}

}  // namespace compat
