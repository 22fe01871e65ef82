// Floors of the CPU and memory answers: the host files the stand-in reads
// for one answer (the paths come as arguments, in the stand-in's order, one
// read each), read whole and scanned once; and the host allocator's calls.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstring>

#include "floor.h"

namespace {

void read_and_scan(const char* path) {
    char buf[16384];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    long lines = 0;
    for (ssize_t i = 0; i < n; ++i) lines += buf[i] == '\n';
    floor_bench::keep(lines);
}

}  // namespace

NORVIK_FLOOR_CASE(host_files, "host_files") {
    for (const std::string& path : args) read_and_scan(path.c_str());
}

NORVIK_FLOOR_CASE(host_allocator_figures, "host_allocator_figures") {
    const struct mallinfo2 info = mallinfo2();
    floor_bench::keep(info);
}

NORVIK_FLOOR_CASE(host_allocator_trim, "host_allocator_trim") { floor_bench::keep(malloc_trim(0)); }
