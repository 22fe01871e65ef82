// Floors of the disk, sensor and login functions: the host reads behind each
// answer, done by a minimal C++ loop.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "floor.h"

namespace {

long read_path(const char* path) {
    char buf[65536];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    long total = 0;
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) total += n;
    close(fd);
    floor_bench::keep(buf);
    return total;
}

long list_dir(const char* path) {
    DIR* dir = opendir(path);
    if (dir == nullptr) return -1;
    long count = 0;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

// ---- the mount table -----------------------------------------------------

// What getfsstat's answer carries of a mountinfo line: the three names
// (unescaped, cut to their fields), the option flags and the device.
struct Mount {
    char type[16];
    char from[1024];
    char on[1024];
    std::uint64_t flags;
    std::uint32_t device[2];
};

// The fields of one mountinfo line:
//   id parent major:minor root mount-point options [optional...] - type source super-options
struct MountLine {
    std::string_view device, mount_point, options, type, source, super_options;
};

std::string_view token(std::string_view& rest) {
    std::size_t start = 0;
    while (start < rest.size() && (rest[start] == ' ' || rest[start] == '\t')) ++start;
    std::size_t end = start;
    while (end < rest.size() && rest[end] != ' ' && rest[end] != '\t') ++end;
    std::string_view out = rest.substr(start, end - start);
    rest.remove_prefix(end);
    return out;
}

bool split_line(std::string_view line, MountLine& out) {
    std::string_view fields[6];
    for (auto& field : fields)
        if ((field = token(line)).empty()) return false;
    for (std::string_view t = token(line); t != "-"; t = token(line))
        if (t.empty()) return false;
    out = {fields[2], fields[4], fields[5], token(line), token(line), token(line)};
    return !out.type.empty() && !out.source.empty();
}

bool octal(char c) { return c >= '0' && c <= '7'; }

void unescape(char* dst, std::size_t size, std::string_view text) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < text.size() && out + 1 < size; ++i) {
        char c = text[i];
        if (c == '\\' && i + 3 < text.size() && octal(text[i + 1]) && octal(text[i + 2]) &&
            octal(text[i + 3])) {
            c = static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
            i += 3;
        }
        dst[out++] = c;
    }
    dst[out] = '\0';
}

std::uint64_t option_flags(std::string_view options) {
    constexpr std::string_view kWords[] = {"ro", "sync", "noexec", "nosuid", "noatime", "nosymfollow"};
    std::uint64_t flags = 0;
    while (!options.empty()) {
        const auto comma = options.find(',');
        const std::string_view word = options.substr(0, comma);
        for (std::size_t i = 0; i < std::size(kWords); ++i)
            if (word == kWords[i]) flags |= 1ULL << i;
        options.remove_prefix(comma == std::string_view::npos ? options.size() : comma + 1);
    }
    return flags;
}

void fill(const MountLine& line, Mount& mount) {
    unescape(mount.type, sizeof mount.type, line.type);
    unescape(mount.from, sizeof mount.from, line.source);
    unescape(mount.on, sizeof mount.on, line.mount_point);
    mount.flags = option_flags(line.options) | option_flags(line.super_options) |
                  (line.mount_point == "/" ? 1ULL << 63 : 0);
    mount.device[0] = mount.device[1] = 0;
    const auto colon = line.device.find(':');
    for (char c : line.device.substr(0, colon)) mount.device[0] = mount.device[0] * 10 + (c - '0');
    if (colon != std::string_view::npos)
        for (char c : line.device.substr(colon + 1)) mount.device[1] = mount.device[1] * 10 + (c - '0');
}

// One walk of the mount table, line by line through a fixed buffer: counts
// the mounts (records null), or fills up to max records. Returns the count.
long walk_mounts(const char* path, Mount* records, long max) {
    static char buf[1 << 16];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    long count = 0;
    auto take = [&](std::string_view text) {
        MountLine line;
        if ((records == nullptr || count < max) && split_line(text, line)) {
            if (records != nullptr) fill(line, records[count]);
            ++count;
        }
    };
    std::size_t have = 0;
    for (ssize_t n; (n = read(fd, buf + have, sizeof buf - have)) > 0;) {
        have += static_cast<std::size_t>(n);
        std::size_t begin = 0;
        for (const char* nl; (nl = static_cast<const char*>(std::memchr(buf + begin, '\n', have - begin)));) {
            const std::size_t end = static_cast<std::size_t>(nl - buf);
            take(std::string_view(buf + begin, end - begin));
            begin = end + 1;
        }
        std::memmove(buf, buf + begin, have - begin);
        have -= begin;
    }
    if (have > 0) take(std::string_view(buf, have));  // a last line without its newline
    close(fd);
    return count;
}

}  // namespace

// getfsstat, asked twice as the module asks: a walk of the mount table (a
// path given, or this process's) that counts its mounts, then one that
// parses each into the fields of its record.
NORVIK_FLOOR_CASE(mounts, "parse_mountinfo_x2") {
    const char* path = args.empty() ? "/proc/self/mountinfo" : args[0].c_str();
    const long count = walk_mounts(path, nullptr, 0);
    if (count <= 0) return;
    std::unique_ptr<Mount[]> records(new Mount[static_cast<std::size_t>(count)]);
    floor_bench::keep(walk_mounts(path, records.get(), count));
    floor_bench::keep(records);
}

// devstat_getdevs: the disk table and the list of whole disks.
NORVIK_FLOOR_CASE(disks, "read_diskstats") {
    floor_bench::keep(read_path("/proc/diskstats") + list_dir("/sys/block") +
                      list_dir("/sys/class/scsi_generic"));
}

// The ACPI battery nodes: the supplies folder, three times (one per node).
NORVIK_FLOOR_CASE(supplies, "list_power_supply_x3") {
    for (int i = 0; i < 3; ++i) floor_bench::keep(list_dir("/sys/class/power_supply"));
}

// The login records.
NORVIK_FLOOR_CASE(logins, "read_utmp") { floor_bench::keep(read_path("/var/run/utmp")); }
