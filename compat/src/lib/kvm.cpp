// libkvm on the running kernel, as far as the process reader needs it:
// kvm_openfiles, kvm_getprocs, kvm_getenvv, kvm_geterr and kvm_close.
//
// A handle owns what its calls return: the process records of the last
// kvm_getprocs and the environment strings of the last kvm_getenvv, valid
// until the next such call or kvm_close. Process records come from the
// stand-in's own sysctl (kern.proc.*), so a scripted node answers here too;
// the environment comes from /proc/<pid>/environ, with FreeBSD's errors where
// the host refuses: EPERM for another user's process, ESRCH for one that has
// gone or is a zombie (FreeBSD does not read exiting processes).
//
// Scripted overlay (library-call keys):
//   "kvm_openfiles"        a failure makes the call return NULL with the
//                          error's text in the caller's buffer;
//   "kvm_getprocs.<arg>"   an answer is the records returned, back-to-back
//                          struct kinfo_proc (count = length / record size);
//                          an answer shorter than one record is a 4-byte int
//                          count returned with no records (a library that
//                          miscounts: 0 or negative; a count above 0 fails
//                          with EINVAL, as no record backs it); a failure
//                          returns NULL, errno set;
//   "kvm_getenvv.<pid>"    an answer is the environment as NUL-separated
//                          strings ("A=B\0C=D\0"); a failure returns NULL
//                          with the scripted errno, 0 included.
#include "freebsd/kvm.h"

// The error buffer's size, taken before a host header can define the name
// as a macro.
namespace {
constexpr std::size_t kErrbufSize = freebsd::_POSIX2_LINE_MAX;
// FreeBSD's open flags as libkvm tests them, and its paths.
constexpr int kO_WRONLY = 0x0001;
constexpr int kO_RDWR = 0x0002;
constexpr const char* kPathMem = "/dev/mem";
constexpr const char* kPathDevNull = "/dev/null";
constexpr const char* kBootFile = "/boot/kernel/kernel";
}  // namespace

#include "freebsd/sys/proc.h"
#include "freebsd/sys/sysctl.h"
#include "entry.h"
#include "linux/proc_reads.h"
#include "linux/proc_records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

struct freebsd::__kvm {
    char errbuf[kErrbufSize] = {};
    std::string procs;       // records of the last kvm_getprocs
    std::vector<char> env;   // strings of the last kvm_getenvv
    std::vector<char*> envv;  // and the array pointing into them
};

namespace compat {
namespace {

using freebsd::kvm_t;

void set_error(kvm_t* kd, const char* call, int err) {
    std::snprintf(kd->errbuf, sizeof kd->errbuf, "%s: %s", call, std::strerror(err));
}

// Reads the records of KERN_PROC op/arg through the kernel state tree, asking
// again while the answer grows. Returns 0 or an errno.
int read_procs(int op, int arg, std::string& out) {
    const int base = op & ~freebsd::KERN_PROC_INC_THREAD;
    const bool whole_table = base == freebsd::KERN_PROC_ALL || base == freebsd::KERN_PROC_PROC;
    int mib[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, op, arg};
    const unsigned miblen = whole_table ? 3 : 4;
    // One process's record has a known size: read it at once, and ask the
    // size only when the answer turns out longer.
    std::size_t size = sizeof(freebsd::kinfo_proc);
    if (op == freebsd::KERN_PROC_PID) {
        out.resize(size);
        if (freebsd::sysctl(mib, miblen, out.data(), &size, nullptr, 0) == 0) {
            out.resize(size);
            return 0;
        }
        if (errno != ENOMEM) return errno;
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
        size = 0;
        if (freebsd::sysctl(mib, miblen, nullptr, &size, nullptr, 0) != 0) return errno;
        out.resize(size);
        if (freebsd::sysctl(mib, miblen, out.data(), &size, nullptr, 0) == 0) {
            out.resize(size);
            return 0;
        }
        if (errno != ENOMEM) return errno;
    }
    return ENOMEM;
}

// Splits NUL-separated strings into the handle's array; an unterminated last
// string is kept, with the terminator it lacked. nchr > 0 limits the bytes.
char** set_environment(kvm_t* kd, const char* data, std::size_t len, int nchr) {
    if (nchr > 0 && len > static_cast<std::size_t>(nchr)) len = static_cast<std::size_t>(nchr);
    kd->env.assign(data, data + len);
    kd->env.push_back('\0');
    kd->envv.clear();
    std::size_t pos = 0;
    while (pos < len) {
        kd->envv.push_back(kd->env.data() + pos);
        pos += std::strlen(kd->env.data() + pos) + 1;
    }
    kd->envv.push_back(nullptr);
    return kd->envv.data();
}

// The kernel and core files libkvm's _kvm_open accepts for the running
// kernel, checked as it checks them, without keeping a descriptor (the
// stand-in reads the host, not the files). Fills refusal with libkvm's text
// and sets errno when they are refused.
bool live_kernel_files(const char* execfile, const char* corefile, int flags, char* refusal) {
    auto refuse = [&](const char* text, int err) {
        std::snprintf(refusal, kErrbufSize, "%s", text);
        errno = err;
        return false;
    };
    auto refuse_path = [&](const char* path, int err) {
        std::snprintf(refusal, kErrbufSize, "%s: %s", path, std::strerror(err));
        errno = err;
        return false;
    };
    if (execfile != nullptr && std::strlen(execfile) >= static_cast<std::size_t>(freebsd::MAXPATHLEN))
        return refuse("exec file name too long", ENAMETOOLONG);
    if ((flags & ~kO_RDWR) != 0) return refuse("bad flags arg", EINVAL);
    const char* core = corefile != nullptr ? corefile : kPathMem;
    const int access_mode = (flags & kO_RDWR) == kO_RDWR ? (R_OK | W_OK) : (flags & kO_WRONLY) ? W_OK : R_OK;
    if (::faccessat(AT_FDCWD, core, access_mode, AT_EACCESS) != 0) return refuse_path(core, errno);
    struct ::stat st {};
    if (::stat(core, &st) != 0) return refuse_path(core, errno);
    if (S_ISREG(st.st_mode) && st.st_size <= 0) {
        std::snprintf(refusal, kErrbufSize, "empty file: %s", std::strerror(EINVAL));
        errno = EINVAL;
        return false;
    }
    if (S_ISCHR(st.st_mode) && (std::strcmp(core, kPathDevNull) == 0 || std::strcmp(core, kPathMem) == 0))
        return true;
    // A crash dump: libkvm opens the kernel it came from and reads its ELF
    // header before it looks for a reader of the dump.
    const char* kernel = execfile != nullptr ? execfile : kBootFile;
    Fd image(::open(kernel, O_RDONLY | O_CLOEXEC));
    if (!image.valid()) return refuse_path(kernel, errno);
    unsigned char magic[4] = {};
    if (::read(image.get(), magic, sizeof magic) != static_cast<ssize_t>(sizeof magic) ||
        std::memcmp(magic, "\177ELF", sizeof magic) != 0)
        return refuse("kernel is not an ELF file", EINVAL);
    return refuse("unsupported architecture", EINVAL);
}

int read_environment(const freebsd::kinfo_proc* p, std::string& out) {
    if (p->ki_stat == freebsd::SZOMB) return ESRCH;
    Fd dir;
    if (int err = open_process_dir(p->ki_pid, dir); err != 0) return err;
    if (int err = read_whole_at(dir.get(), "environ", out); err != 0) return process_refusal(err);
    return 0;
}

}  // namespace
}  // namespace compat

namespace freebsd {

// As libkvm's _kvm_open: the handle reads the running kernel when the core
// file is /dev/null or /dev/mem (NULL means /dev/mem), a character device
// that must open with the flags given; anything else is a crash dump, which
// needs the kernel file it came from. The stand-in reads no crash dump, so
// that path ends in libkvm's own refusal for a dump it can't read. Every
// refusal returns NULL with libkvm's text in errbuf.
kvm_t* kvm_openfiles(const char* execfile, const char* corefile, const char*, int flags, char* errbuf) {
    return compat::guarded_call<kvm_t*>(
        nullptr,
        [&](int err) noexcept {
            if (errbuf != nullptr)
                std::snprintf(errbuf, kErrbufSize, "kvm_openfiles: %s", std::strerror(err));
        },
        [&]() -> kvm_t* {
            auto outcome = compat::script::consult("kvm_openfiles", compat::script::Kind::call);
            if (outcome.fail) {
                if (errbuf != nullptr)
                    std::snprintf(errbuf, kErrbufSize, "kvm_openfiles: %s", std::strerror(outcome.err));
                errno = outcome.err;
                return nullptr;
            }
            char refusal[kErrbufSize] = {};
            if (!compat::live_kernel_files(execfile, corefile, flags, refusal)) {
                if (errbuf != nullptr) std::snprintf(errbuf, kErrbufSize, "%s", refusal);
                return nullptr;
            }
            kvm_t* kd = new (std::nothrow) kvm_t;
            if (kd == nullptr) {
                if (errbuf != nullptr) std::snprintf(errbuf, kErrbufSize, "kvm_openfiles: out of memory");
                errno = ENOMEM;
            }
            return kd;
        });
}

int kvm_close(kvm_t* kd) {
    if (kd == nullptr) {
        errno = EINVAL;
        return -1;
    }
    delete kd;
    return 0;
}

// libkvm answers an empty text for no handle.
char* kvm_geterr(kvm_t* kd) {
    static char no_handle[1] = "";
    return kd == nullptr ? no_handle : kd->errbuf;
}

kinfo_proc* kvm_getprocs(kvm_t* kd, int op, int arg, int* cnt) {
    if (kd == nullptr || cnt == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return compat::guarded_call<kinfo_proc*>(
        nullptr, [&](int err) noexcept { compat::set_error(kd, "kvm_getprocs", err); },
        [&]() -> kinfo_proc* {
            auto outcome = compat::script::consult_call("kvm_getprocs", arg);
            int err = 0;
            if (outcome.fail) {
                err = outcome.err;
            } else if (outcome.answer != nullptr) {
                const std::string& answer = *outcome.answer;
                if (answer.size() < sizeof(kinfo_proc) && answer.size() >= sizeof(int)) {
                    int count = 0;
                    std::memcpy(&count, answer.data(), sizeof count);
                    // A count of records that are not there would send the
                    // caller past the array: the library never does that.
                    if (count > 0) {
                        compat::set_error(kd, "kvm_getprocs", EINVAL);
                        errno = EINVAL;
                        return nullptr;
                    }
                    kd->procs.clear();
                    *cnt = count;
                    return reinterpret_cast<kinfo_proc*>(kd->procs.data());
                }
                kd->procs = answer;
            } else {
                err = compat::read_procs(op, arg, kd->procs);
            }
            if (err != 0) {
                compat::set_error(kd, "kvm_getprocs", err);
                errno = err;
                return nullptr;
            }
            *cnt = static_cast<int>(kd->procs.size() / sizeof(kinfo_proc));
            return reinterpret_cast<kinfo_proc*>(kd->procs.data());
        });
}

char** kvm_getenvv(kvm_t* kd, const kinfo_proc* p, int nchr) {
    if (kd == nullptr || p == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return compat::guarded_call<char**>(
        nullptr, [&](int err) noexcept { compat::set_error(kd, "kvm_getenvv", err); },
        [&]() -> char** {
            auto outcome = compat::script::consult_call("kvm_getenvv", p->ki_pid);
            if (outcome.fail) {
                compat::set_error(kd, "kvm_getenvv", outcome.err);
                errno = outcome.err;
                return nullptr;
            }
            if (outcome.answer != nullptr)
                return compat::set_environment(kd, outcome.answer->data(), outcome.answer->size(), nchr);
            std::string text;
            if (int err = compat::read_environment(p, text); err != 0) {
                compat::set_error(kd, "kvm_getenvv", err);
                errno = err;
                return nullptr;
            }
            return compat::set_environment(kd, text.data(), text.size(), nchr);
        });
}

}  // namespace freebsd
