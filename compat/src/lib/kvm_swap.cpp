// kvm_open(3) on the running kernel and kvm_getswapinfo(3) from /proc/swaps.
//
// The summary record is the total over every swap device the host lists
// (Size and Used are in kB), in pages of the host's page size; the
// per-device records FreeBSD can also fill are not produced.
//
// Scripted overlay (library-call keys):
//   "kvm_open"          a failure makes the call print its prefix and the
//                       error to standard error and return NULL;
//   "kvm_getswapinfo"   a failure returns -1.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "freebsd/kvm.h"
#include "linux/host_text.h"
#include "script/script.h"

namespace freebsd {

kvm_t* kvm_open(const char* execfile, const char* corefile, const char* swapfile, int flags,
                const char* errstr) {
    auto outcome = compat::script::consult("kvm_open", compat::script::Kind::call);
    char errbuf[_POSIX2_LINE_MAX] = {};
    kvm_t* kd = nullptr;
    if (outcome.fail) {
        std::snprintf(errbuf, sizeof errbuf, "%s", std::strerror(outcome.err));
        errno = outcome.err;
    } else {
        kd = kvm_openfiles(execfile, corefile, swapfile, flags, errbuf);
    }
    // FreeBSD's kvm_open reports its failure behind the caller's prefix.
    if (kd == nullptr && errstr != nullptr) std::fprintf(stderr, "%s: %s\n", errstr, errbuf);
    return kd;
}

int kvm_getswapinfo(kvm_t* kd, kvm_swap* info, int maxswap, int) {
    if (kd == nullptr || info == nullptr || maxswap < 1) {
        errno = EINVAL;
        return -1;
    }
    auto outcome = compat::script::consult("kvm_getswapinfo", compat::script::Kind::call);
    if (outcome.fail) {
        errno = outcome.err;
        return -1;
    }
    compat::FileText text;
    if (int err = text.read_host("proc/swaps"); err != 0) {
        errno = err;
        return -1;
    }
    const long page = ::sysconf(_SC_PAGESIZE);
    const std::uint64_t kib_per_page = page > 1024 ? static_cast<std::uint64_t>(page) / 1024 : 4;
    std::uint64_t total_kib = 0;
    std::uint64_t used_kib = 0;
    int devices = 0;
    std::string_view rest = text.view();
    if (!rest.empty()) compat::next_line(rest);  // the heading
    while (!rest.empty()) {
        std::string_view line = compat::next_line(rest);
        std::string_view name = compat::next_token(line);
        compat::next_token(line);  // type
        std::uint64_t sizes[2] = {};
        if (name.empty() || compat::leading_numbers(line, sizes, 2) != 2) continue;
        total_kib += sizes[0];
        used_kib += sizes[1];
        ++devices;
    }
    auto pages = [&](std::uint64_t kib) {
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(kib / kib_per_page, 0xffffffffu));
    };
    kvm_swap& summary = info[0];
    std::memset(&summary, 0, sizeof summary);
    std::snprintf(summary.ksw_devname, sizeof summary.ksw_devname, "total");
    summary.ksw_total = pages(total_kib);
    summary.ksw_used = pages(used_kib);
    return devices;
}

}  // namespace freebsd
