// Floors of the disk, sensor and login functions: the host reads behind each
// answer, done by a minimal C++ loop.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

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

}  // namespace

// getfsstat, asked twice (the count, then the records): two walks of the
// mount table (a path given, or this process's).
NORVIK_FLOOR_CASE(mounts, "read_mountinfo_x2") {
    const char* path = args.empty() ? "/proc/self/mountinfo" : args[0].c_str();
    floor_bench::keep(read_path(path) + read_path(path));
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
