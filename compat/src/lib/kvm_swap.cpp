// kvm_open(3) on the running kernel and kvm_getswapinfo(3) from /proc/swaps.
//
// As libkvm's kvm_getswapinfo: one record per swap device the host lists,
// while there is room below the summary (at most maxswap - 1 of them), then
// the summary, the total over every device, with an empty name; the call
// returns the summary's index, the number of device records filled. Size and
// Used (kB) become pages of the host's page size. A device is named by its
// path without "/dev/" (with it under SWIF_DEV_PREFIX), as devname(3) names
// it; a swap file by its path. FreeBSD subtracts each device's first dmmax
// blocks, which its swap pager never uses; the host reserves no such blocks
// (its header page is already left out of Size), so nothing is subtracted.
//
// Scripted overlay (library-call keys):
//   "kvm_open"          a failure makes the call print its prefix and the
//                       error to standard error and return NULL;
//   "kvm_getswapinfo"   a failure returns -1; an answer is back-to-back
//                       struct kvm_swap records, the devices then the
//                       summary, given out by the rules above (devices while
//                       there is room below the summary, then the summary).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "entry.h"
#include "freebsd/kvm.h"
#include "linux/host_text.h"
#include "script/script.h"

namespace freebsd {
namespace {

// A scripted table: devices, then the summary as its last record.
int scripted_swap_info(const std::string& answer, kvm_swap* info, int maxswap) {
    const std::size_t records = answer.size() / sizeof(kvm_swap);
    if (records == 0 || answer.size() % sizeof(kvm_swap) != 0) {
        errno = EINVAL;
        return -1;
    }
    const int devices = static_cast<int>(records - 1);
    const int summary = std::min(devices, maxswap - 1);
    std::memcpy(info, answer.data(), static_cast<std::size_t>(summary) * sizeof(kvm_swap));
    std::memcpy(&info[summary], answer.data() + (records - 1) * sizeof(kvm_swap), sizeof(kvm_swap));
    return summary;
}

}  // namespace

kvm_t* kvm_open(const char* execfile, const char* corefile, const char* swapfile, int flags,
                const char* errstr) {
    return compat::guarded_call<kvm_t*>(nullptr, [&]() -> kvm_t* {
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
        if (kd == nullptr && errstr != nullptr) {
            const int err = errno;
            std::fprintf(stderr, "%s: %s\n", errstr, errbuf);
            errno = err;
        }
        return kd;
    });
}

int kvm_getswapinfo(kvm_t* kd, kvm_swap* info, int maxswap, int flags) {
    return compat::guarded_call(-1, [&] {
        if (kd == nullptr || info == nullptr || maxswap < 1) {
            errno = EINVAL;
            return -1;
        }
        auto outcome = compat::script::consult("kvm_getswapinfo", compat::script::Kind::call);
        if (outcome.fail) {
            errno = outcome.err;
            return -1;
        }
        if (outcome.answer != nullptr) return scripted_swap_info(*outcome.answer, info, maxswap);
        compat::FileText text;
        if (int err = text.read_host("proc/swaps"); err != 0) {
            errno = err;
            return -1;
        }
        const long page = ::sysconf(_SC_PAGESIZE);
        const std::uint64_t kib_per_page = page > 1024 ? static_cast<std::uint64_t>(page) / 1024 : 4;
        auto pages = [&](std::uint64_t kib) {
            return static_cast<std::uint32_t>(std::min<std::uint64_t>(kib / kib_per_page, 0xffffffffu));
        };
        kvm_swap total{};
        int devices = 0;
        std::string_view rest = text.view();
        if (!rest.empty()) compat::next_line(rest);  // the heading
        while (!rest.empty()) {
            std::string_view line = compat::next_line(rest);
            std::string_view name = compat::next_token(line);
            compat::next_token(line);  // type
            std::uint64_t sizes[2] = {};
            if (name.empty() || compat::leading_numbers(line, sizes, 2) != 2) continue;
            const std::uint32_t size = pages(sizes[0]);
            const std::uint32_t used = pages(sizes[1]);
            if (devices < maxswap - 1) {
                kvm_swap& device = info[devices];
                std::memset(&device, 0, sizeof device);
                constexpr std::string_view kDev = "/dev/";
                if ((flags & SWIF_DEV_PREFIX) == 0 && name.substr(0, kDev.size()) == kDev)
                    name.remove_prefix(kDev.size());
                const std::size_t n = std::min(name.size(), sizeof device.ksw_devname - 1);
                std::memcpy(device.ksw_devname, name.data(), n);
                device.ksw_total = size;
                device.ksw_used = used;
            }
            total.ksw_total += size;
            total.ksw_used += used;
            ++devices;
        }
        const int summary = std::min(devices, maxswap - 1);
        info[summary] = total;
        return summary;
    });
}

}  // namespace freebsd
