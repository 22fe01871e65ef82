// Ownership of memory that C libraries hand over for release with free().
#pragma once

#include <stdlib.h>

#include <memory>

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};

// A malloc'ed array or record released with free() on every path.
template <typename T>
using FreedPtr = std::unique_ptr<T, FreeDeleter>;
