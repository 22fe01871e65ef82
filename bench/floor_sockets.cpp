// Floors of the socket listings: every descriptor link of every process and
// the host's socket tables (the system-wide answer), or one process's links
// and the TCP tables (the per-process answer).
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "floor.h"

namespace {

size_t slurp(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    static char buf[1 << 16];
    size_t total = 0;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) total += static_cast<size_t>(n);
    close(fd);
    return total;
}

size_t links_of(const char* pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/fd", pid);
    int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return 0;
    DIR* listing = fdopendir(dup(dir));
    size_t total = 0;
    char target[4097];
    dirent* entry = nullptr;
    while (listing != nullptr && (entry = readdir(listing)) != nullptr) {
        if (entry->d_name[0] == '.') continue;
        ssize_t n = readlinkat(dir, entry->d_name, target, sizeof target);
        if (n > 0) total += static_cast<size_t>(n);
    }
    if (listing != nullptr) closedir(listing);
    close(dir);
    return total;
}

}  // namespace

NORVIK_FLOOR_CASE(sockets_all, "sockets_all") {
    size_t total = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return;
    while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') total += links_of(entry->d_name);
    }
    closedir(proc);
    for (const char* table :
         {"/proc/net/tcp", "/proc/net/tcp6", "/proc/net/udp", "/proc/net/udp6", "/proc/net/unix"})
        total += slurp(table);
    floor_bench::keep(total);
}

NORVIK_FLOOR_CASE(sockets_pid, "sockets_pid") {
    const std::string& pid = args.at(0);
    size_t total = links_of(pid.c_str());
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6", "/proc/net/unix"}) total += slurp(table);
    floor_bench::keep(total);
}
