// Floors of the process functions: the host reads and calls the stand-in
// needs for each answer, done by a minimal C++ loop.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "floor.h"

namespace {

// Reads a file under dir into a stack buffer; returns the bytes read.
long read_at(int dir, const char* name) {
    char buf[8192];
    int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    long total = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        total += n;
    }
    close(fd);
    floor_bench::keep(buf);
    return total;
}

// The reads behind one process record: its folder, stat, status and io.
long process_reads(int pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d", pid);
    int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    long total = read_at(dir, "stat") + read_at(dir, "status") + read_at(dir, "io");
    close(dir);
    return total;
}

int arg_int(const floor_bench::Args& args, std::size_t i) { return std::atoi(args.at(i).c_str()); }

}  // namespace

NORVIK_FLOOR_CASE(proc_record_reads, "proc_record_reads") {
    floor_bench::keep(process_reads(arg_int(args, 0)));
}

// The whole table: the listing of /proc, then every process's reads.
NORVIK_FLOOR_CASE(proc_table_reads, "proc_table_reads") {
    DIR* proc = opendir("/proc");
    long total = 0;
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0') total += process_reads(static_cast<int>(pid));
    }
    closedir(proc);
    floor_bench::keep(total);
}

// The whole table, then every process's record again: what listing the
// processes and then looking at each one reads.
NORVIK_FLOOR_CASE(proc_table_loop_reads, "proc_table_loop_reads") {
    DIR* proc = opendir("/proc");
    long total = 0;
    std::vector<int> pids;
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0') {
            total += process_reads(static_cast<int>(pid));
            pids.push_back(static_cast<int>(pid));
        }
    }
    closedir(proc);
    for (int pid : pids) total += process_reads(pid);
    floor_bench::keep(total);
}

NORVIK_FLOOR_CASE(affinity_get, "sched_getaffinity") {
    cpu_set_t set;
    floor_bench::keep(sched_getaffinity(arg_int(args, 0), sizeof set, &set));
    floor_bench::keep(set);
}

// Setting a process's mask: its first thread, then the listing of its threads.
NORVIK_FLOOR_CASE(affinity_set, "sched_setaffinity") {
    const int pid = arg_int(args, 0);
    cpu_set_t set;
    CPU_ZERO(&set);
    for (std::size_t i = 1; i < args.size(); ++i) CPU_SET(arg_int(args, i), &set);
    floor_bench::keep(sched_setaffinity(pid, sizeof set, &set));
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/task", pid);
    DIR* task = opendir(path);
    while (dirent* entry = readdir(task)) {
        int tid = std::atoi(entry->d_name);
        if (tid > 0 && tid != pid) sched_setaffinity(tid, sizeof set, &set);
    }
    closedir(task);
}

NORVIK_FLOOR_CASE(rlimit_get, "prlimit_get") {
    rlimit limit;
    floor_bench::keep(
        prlimit(arg_int(args, 0), static_cast<__rlimit_resource>(arg_int(args, 1)), nullptr, &limit));
    floor_bench::keep(limit);
}

NORVIK_FLOOR_CASE(rlimit_set, "prlimit_set") {
    rlimit limit{static_cast<rlim_t>(std::atoll(args.at(2).c_str())),
                 static_cast<rlim_t>(std::atoll(args.at(3).c_str()))};
    floor_bench::keep(
        prlimit(arg_int(args, 0), static_cast<__rlimit_resource>(arg_int(args, 1)), &limit, nullptr));
}

NORVIK_FLOOR_CASE(priority_get, "getpriority") {
    floor_bench::keep(getpriority(PRIO_PROCESS, arg_int(args, 0)));
}

NORVIK_FLOOR_CASE(priority_set, "setpriority") {
    floor_bench::keep(setpriority(PRIO_PROCESS, arg_int(args, 0), arg_int(args, 1)));
}
