// Validating reads of kernel state. Each returns 0, or -1 with a Python
// exception set; after an OSError, errno still holds the failed call's error.
#pragma once

#include <stddef.h>

int norvik_sysctl(int* mib, unsigned int miblen, void* buf, size_t buflen);
int norvik_sysctl_malloc(int* mib, unsigned int miblen, char** buf, size_t* buflen);
int norvik_sysctlbyname(const char* name, void* buf, size_t buflen);
int norvik_sysctlbyname_malloc(const char* name, char** buf, size_t* buflen);

// The kernel's limit on the argument area, or 0 with an exception set.
long norvik_sysctl_argmax(void);
// The page size in bytes.
long norvik_getpagesize(void);
