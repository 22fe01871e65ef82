// Bounded strings: every fixed buffer of the module is written through these.
// Each takes the buffer and its full size in bytes, terminating NUL included.
#pragma once

#include <stddef.h>

// printf-style formatting. Returns the length written, or -1 when the text
// did not fit (the buffer keeps what fitted, NUL-terminated), or size is 0
// or a pointer NULL (nothing is written).
int str_format(char* buf, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Copies src, cut to fit; the rest of the buffer is NUL-filled. Returns 0,
// or -1 when dst_size is 0 or a pointer NULL (nothing is written).
int str_copy(char* dst, size_t dst_size, const char* src);

// Appends src to the NUL-terminated text in dst. Returns 0, or -1 when
// something did not fit or an argument is unusable.
int str_append(char* dst, size_t dst_size, const char* src);
