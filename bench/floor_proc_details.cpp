// Floors of a process's details: the host reads the stand-in makes for each
// answer (argument area, environment, executable, descriptor table, thread
// records, memory map), done by a minimal C++ loop.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "floor.h"

namespace {

int open_dir(int pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d", pid);
    return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Reads a whole file under dir; returns the bytes read.
long slurp(int dir, const char* name) {
    static std::string buf(1 << 16, '\0');
    int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    long total = 0;
    for (;;) {
        if (buf.size() - static_cast<std::size_t>(total) < (1 << 16)) buf.resize(buf.size() * 2);
        ssize_t n = read(fd, buf.data() + total, buf.size() - static_cast<std::size_t>(total));
        if (n <= 0) break;
        total += n;
    }
    close(fd);
    floor_bench::keep(buf);
    return total;
}

// One process record: the folder, stat, status and io.
long record_reads(int pid) {
    int dir = open_dir(pid);
    long total = slurp(dir, "stat") + slurp(dir, "status") + slurp(dir, "io");
    close(dir);
    return total;
}

long link_len(int dir, const char* name) {
    char buf[4097];
    return readlinkat(dir, name, buf, sizeof buf);
}

// Reads of one file in its own folder opening, as one node answer makes them.
long node_read(int pid, const char* name) {
    int dir = open_dir(pid);
    long n = slurp(dir, name);
    close(dir);
    return n;
}

// The descriptor table: cwd, the fd listing, text and root, and per
// descriptor its link and, for a path, a stat through it.
long descriptor_reads(int pid) {
    int dir = open_dir(pid);
    long total = link_len(dir, "cwd");
    int fd_dir = openat(dir, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = fdopendir(fcntl(fd_dir, F_DUPFD_CLOEXEC, 0));
    int fds[1 << 15];
    int n = 0;
    while (dirent* entry = readdir(listing)) {
        if (entry->d_name[0] != '.' && n < (1 << 15)) fds[n++] = std::atoi(entry->d_name);
    }
    closedir(listing);
    total += link_len(dir, "exe") + link_len(dir, "root");
    char name[32], target[4097];
    for (int i = 0; i < n; ++i) {
        std::snprintf(name, sizeof name, "%d", fds[i]);
        ssize_t len = readlinkat(fd_dir, name, target, sizeof target);
        if (len > 0 && target[0] == '/') {
            struct stat st;
            fstatat(fd_dir, name, &st, 0);
            floor_bench::keep(st);
        }
        total += len;
    }
    close(fd_dir);
    close(dir);
    return total;
}

int pid_arg(const floor_bench::Args& args) { return std::atoi(args.at(0).c_str()); }

}  // namespace

// The size question reads the argument area; the read answers from it.
NORVIK_FLOOR_CASE(details_cmdline, "details_cmdline") { floor_bench::keep(node_read(pid_arg(args), "cmdline")); }

NORVIK_FLOOR_CASE(details_exe, "details_exe") {
    char path[48], target[4097];
    std::snprintf(path, sizeof path, "/proc/%d/exe", pid_arg(args));
    floor_bench::keep(readlink(path, target, sizeof target));
}

// The record, then the environment.
NORVIK_FLOOR_CASE(details_environ, "details_environ") {
    const int pid = pid_arg(args);
    floor_bench::keep(record_reads(pid) + node_read(pid, "environ"));
}

// The record lookup, then the descriptor table.
NORVIK_FLOOR_CASE(details_files, "details_files") {
    const int pid = pid_arg(args);
    floor_bench::keep(record_reads(pid) + descriptor_reads(pid));
}

// The size question (the task listing), then the record (without block
// counts, which thread records don't carry) and each thread's stat.
NORVIK_FLOOR_CASE(details_threads, "details_threads") {
    const int pid = pid_arg(args);
    int dir = open_dir(pid);
    long total = 0;
    for (int pass = 0; pass < 2; ++pass) {
        int task = openat(dir, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* listing = fdopendir(task);
        char name[300];
        while (dirent* entry = readdir(listing)) {
            if (entry->d_name[0] == '.' || pass == 0) continue;
            std::snprintf(name, sizeof name, "task/%s/stat", entry->d_name);
            total += slurp(dir, name);
        }
        closedir(listing);
    }
    total += slurp(dir, "stat") + slurp(dir, "status");
    close(dir);
    floor_bench::keep(total);
}

// The record lookup, then the memory map.
NORVIK_FLOOR_CASE(details_maps, "details_maps") {
    const int pid = pid_arg(args);
    floor_bench::keep(record_reads(pid) + node_read(pid, "smaps"));
}

// The reads behind the libutil calls alone, without the record lookup.
NORVIK_FLOOR_CASE(details_smaps, "details_smaps") { floor_bench::keep(node_read(pid_arg(args), "smaps")); }
NORVIK_FLOOR_CASE(details_table, "details_table") { floor_bench::keep(descriptor_reads(pid_arg(args))); }

// The stand-in's libutil calls alone, without the module around them.
#include "norvik_platform.h"

NORVIK_FLOOR_CASE(stand_in_getvmmap, "stand_in_kinfo_getvmmap") {
    int count = 0;
    void* maps = kinfo_getvmmap(pid_arg(args), &count);
    floor_bench::keep(count);
    free(maps);
}

NORVIK_FLOOR_CASE(stand_in_getfile, "stand_in_kinfo_getfile") {
    int count = 0;
    void* files = kinfo_getfile(pid_arg(args), &count);
    floor_bench::keep(count);
    free(files);
}
