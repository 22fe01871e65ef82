#include "arch/all/str.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "norvik.h"

namespace {

// Misuse of the bounded strings: fatal while testing, a debug line otherwise.
void str_critical(const char* msg) {
    if (NORVIK_TESTING) {
        fprintf(stderr, "CRITICAL: %s\n", msg);
        fflush(stderr);
        exit(1);
    }
    norvik_debug("%s", msg);
}

}  // namespace

int str_format(char* buf, size_t size, const char* format, ...) {
    if (size == 0) {
        str_critical("str_format: invalid arg 'size' = 0");
        return -1;
    }
    if (buf == nullptr || format == nullptr) {
        // Not for callers to do, but never a write through NULL.
        str_critical("str_format: invalid arg");
        return -1;
    }
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(buf, size, format, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) < size) return n;
    norvik_debug("str_format: error in format '%s'", format);
    buf[size - 1] = '\0';
    return -1;
}

int str_copy(char* dst, size_t dst_size, const char* src) {
    if (dst_size == 0) {
        str_critical("str_copy: invalid arg 'dst_size' = 0");
        return -1;
    }
    if (dst == nullptr || src == nullptr) {
        str_critical("str_copy: invalid arg");
        return -1;
    }
    strncpy(dst, src, dst_size - 1);
    dst[dst_size - 1] = '\0';
    return 0;
}

int str_append(char* dst, size_t dst_size, const char* src) {
    if (dst_size == 0 || dst == nullptr || src == nullptr) {
        str_critical("str_append: invalid arg");
        return -1;
    }
    const size_t used = strnlen(dst, dst_size);
    if (used == dst_size) {
        // Not a terminated text within its buffer: nothing can be appended safely.
        str_critical("str_append: truncated");
        return -1;
    }
    const size_t want = strlen(src);
    const size_t room = dst_size - 1 - used;
    const size_t take = want < room ? want : room;
    memcpy(dst + used, src, take);
    dst[used + take] = '\0';
    if (take < want) {
        str_critical("str_append: truncated");
        return -1;
    }
    return 0;
}
