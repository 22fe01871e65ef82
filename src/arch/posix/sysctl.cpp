#include "arch/posix/sysctl.h"

#include "arch/all/str.h"
#include "norvik.h"
#include "norvik_platform.h"

namespace {

constexpr int kMaxReads = 10;
constexpr size_t kNameMessageSize = 256;

// The kernel reported more bytes than the buffer holds. name: NULL by MIB.
int raise_size_mismatch(const char* name, size_t returned, size_t expected) {
    if (name == nullptr) {
        norvik_runtime_error("sysctl() size mismatch");
        return -1;
    }
    char message[kNameMessageSize];
    str_format(message, sizeof message, "sysctlbyname('%s') size mismatch: returned %zu, expected %zu", name,
               returned, expected);
    norvik_runtime_error("%s", message);
    return -1;
}

// The texts of one allocating wrapper: by MIB they are fixed; by name they
// carry the name and are built only when needed.
struct Texts {
    const char* name;  // NULL for the by-MIB wrapper

    void build(char (&buf)[kNameMessageSize], const char* by_mib, const char* by_name) const {
        if (name == nullptr)
            str_copy(buf, sizeof buf, by_mib);
        else
            str_format(buf, sizeof buf, by_name, name);
    }
    int raise_oserror(const char* by_mib, const char* by_name) const {
        char buf[kNameMessageSize];
        const int saved = errno;
        build(buf, by_mib, by_name);
        errno = saved;
        norvik_oserror_wsyscall(buf);
        return -1;
    }
    const char* wrapper() const { return name == nullptr ? "norvik_sysctl_malloc" : "norvik_sysctlbyname_malloc"; }
};

// Asks the size, allocates exactly that, reads; asks again while the data grows.
template <typename Call>
int allocate_and_read(Call call, const Texts& texts, char** out, size_t* outlen) {
    size_t size = 0;
    if (call(nullptr, &size) == -1)
        return texts.raise_oserror("sysctl() malloc 1/3", "sysctlbyname('%s') malloc 1/3");
    if (size == 0) norvik_debug("%s() size = 0", texts.wrapper());

    for (int attempt = 1;; ++attempt) {
        char* block = static_cast<char*>(calloc(1, size));
        if (block == nullptr && size == 0) block = static_cast<char*>(calloc(1, 1));
        if (block == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        size_t len = size;
        if (call(block, &len) == 0) {
            if (len > size) {
                // A length beyond the block would send the caller past its end.
                free(block);
                return raise_size_mismatch(texts.name, len, size);
            }
            *out = block;
            *outlen = len;
            return 0;
        }
        const int err = errno;
        free(block);
        errno = err;
        if (err != ENOMEM)
            return texts.raise_oserror("sysctl() malloc 3/3", "sysctlbyname('%s') malloc 3/3");
        size = 0;
        if (call(nullptr, &size) == -1)
            return texts.raise_oserror("sysctl() malloc 2/3", "sysctlbyname('%s') malloc 2/3");
        norvik_debug("%s() retry", texts.wrapper());
        if (attempt == kMaxReads) {
            char buf[kNameMessageSize];
            texts.build(buf, "sysctl() buffer allocation retry limit exceeded",
                        "sysctlbyname('%s') buffer allocation retry limit exceeded");
            norvik_runtime_error("%s", buf);
            return -1;
        }
    }
}

}  // namespace

int norvik_sysctl(int* mib, unsigned int miblen, void* buf, size_t buflen) {
    if (mib == nullptr || miblen == 0 || buf == nullptr || buflen == 0)
        return norvik_badargs("norvik_sysctl");
    size_t len = buflen;
    if (sysctl(mib, miblen, buf, &len, nullptr, 0) == -1) {
        norvik_oserror_wsyscall("sysctl()");
        return -1;
    }
    if (len > buflen) return raise_size_mismatch(nullptr, len, buflen);
    return 0;
}

int norvik_sysctl_malloc(int* mib, unsigned int miblen, char** buf, size_t* buflen) {
    if (mib == nullptr || miblen == 0 || buf == nullptr || buflen == nullptr)
        return norvik_badargs("norvik_sysctl_malloc");
    auto call = [&](void* data, size_t* len) { return sysctl(mib, miblen, data, len, nullptr, 0); };
    return allocate_and_read(call, Texts{nullptr}, buf, buflen);
}

int norvik_sysctlbyname(const char* name, void* buf, size_t buflen) {
    if (name == nullptr || buf == nullptr || buflen == 0) return norvik_badargs("norvik_sysctlbyname");
    size_t len = buflen;
    if (sysctlbyname(name, buf, &len, nullptr, 0) == -1) {
        const int err = errno;
        char origin[kNameMessageSize];
        str_format(origin, sizeof origin, "sysctlbyname('%s')", name);
        errno = err;
        norvik_oserror_wsyscall(origin);
        return -1;
    }
    if (len > buflen) return raise_size_mismatch(name, len, buflen);
    return 0;
}

int norvik_sysctlbyname_malloc(const char* name, char** buf, size_t* buflen) {
    if (name == nullptr || buf == nullptr || buflen == nullptr)
        return norvik_badargs("norvik_sysctlbyname_malloc");
    auto call = [&](void* data, size_t* len) { return sysctlbyname(name, data, len, nullptr, 0); };
    return allocate_and_read(call, Texts{name}, buf, buflen);
}

long norvik_sysctl_argmax(void) {
    int mib[2] = {CTL_KERN, KERN_ARGMAX};
    int argmax = 0;
    size_t len = sizeof argmax;
    if (sysctl(mib, 2, &argmax, &len, nullptr, 0) == -1) {
        norvik_oserror_wsyscall("sysctl()");
        return 0;
    }
    if (len > sizeof argmax) {
        raise_size_mismatch(nullptr, len, sizeof argmax);
        return 0;
    }
    if (argmax <= 0) {
        norvik_runtime_error("sysctl(KERN_ARGMAX) return <= 0");
        return 0;
    }
    return argmax;
}

long norvik_getpagesize(void) { return sysconf(_SC_PAGESIZE); }
