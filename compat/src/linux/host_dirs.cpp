#include "linux/host_dirs.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <memory>

#include "linux/host_files.h"
#include "linux/host_text.h"

namespace compat {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Orders "name12" after "name2": equal text up to a run of digits compares by
// the run's length first.
bool natural_less(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            if (ie - i != je - j) return ie - i < je - j;
            if (int c = a.compare(i, ie - i, b, j, je - j); c != 0) return c < 0;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

int list_host_dir(std::string_view rel, std::vector<std::string>& names) {
    Fd fd = open_host(rel, O_RDONLY | O_DIRECTORY);
    if (!fd.valid()) return errno;
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd.get()));
    if (!dir) return errno;
    fd.release();  // the stream owns it now
    errno = 0;
    while (dirent* entry = readdir(dir.get())) {
        std::string_view name(entry->d_name);
        if (name != "." && name != "..") names.emplace_back(name);
    }
    if (errno != 0) return errno;
    std::sort(names.begin(), names.end(), natural_less);
    return 0;
}

int list_numbered_entries(Fd dir, std::vector<int>& numbers, int least) {
    numbers.clear();
    std::unique_ptr<DIR, DirCloser> listing(fdopendir(dir.get()));
    if (!listing) return errno;
    dir.release();  // the stream owns it now
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(listing.get());
        if (entry == nullptr) return errno;
        std::string_view name(entry->d_name);
        int number = 0;
        auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), number);
        if (ec == std::errc() && end == name.data() + name.size() && number >= least)
            numbers.push_back(number);
    }
}

}  // namespace compat
