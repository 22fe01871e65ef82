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

int list_numbered_entries(int dir, std::vector<int>& numbers, int least, std::size_t expected) {
    numbers.clear();
    // A few hundred entries a call; an entry with a number's name takes at
    // most kLargestEntry bytes of it.
    constexpr std::size_t kEntriesSize = 32 * 1024;
    constexpr std::size_t kLargestEntry = 64;
    std::unique_ptr<char[]> entries(new char[kEntriesSize]);
    for (;;) {
        const ssize_t got = ::getdents64(dir, entries.get(), kEntriesSize);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries.get() + at);
            std::string_view name(entry->d_name);
            int number = 0;
            auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), number);
            if (ec == std::errc() && end == name.data() + name.size() && number >= least)
                numbers.push_back(number);
            at += entry->d_reclen;
        }
        const bool room_left = kEntriesSize - static_cast<std::size_t>(got) >= kLargestEntry;
        if (expected != 0 && room_left && numbers.size() >= expected) return 0;
    }
}

}  // namespace compat
