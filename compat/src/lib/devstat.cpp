// libdevstat: devstat_checkversion(3) and devstat_getdevs(3), one
// struct devstat per whole disk of /proc/diskstats.
//
// Which devices: the disks /sys/block lists (whole disks; partitions are
// not devstat devices on FreeBSD either, GEOM keeps their statistics apart),
// device-mapper and md arrays included, as FreeBSD lists its md and
// multipath-style devices. Loop, ram and zram devices that have never done
// I/O are left out: they stand for unconfigured md units, which FreeBSD does
// not list. Without a readable /sys/block (a captured tree of /proc only)
// every line counts as a disk.
//
// After the disks, FreeBSD lists a pass(4) device, CAM's pass-through, for
// every SCSI or ATA peripheral, with zero counters (nobody does I/O through
// its statistics). The host's counterpart is the SCSI generic driver: each
// /sys/class/scsi_generic/sgN is one such device, listed as passN in the
// host's order. Where sg is not loaded the host lists none, and neither does
// the stand-in.
//
// Units: sectors of 512 bytes become bytes; the millisecond counters become
// struct bintime, exact to the millisecond. diskstats' columns by index:
//   0 reads  2 sectors read  3 ms reading  4 writes  6 sectors written
//   7 ms writing  8 in flight  9 ms busy  11 discards  13 sectors discarded
//   14 ms discarding  15 flushes  16 ms flushing
// Reads and writes land in DEVSTAT_READ and DEVSTAT_WRITE, discards in
// DEVSTAT_FREE, flushes in DEVSTAT_NO_DATA. Merged requests and the weighted
// time have no counterpart. statinfo's cp_time and tty counters stay 0.
//
// Like the library, the records sit in a buffer hung on dinfo->mem_ptr
// (a long generation, then the array), which the caller frees.
//
// Scripted overlay: "devstat_checkversion.0" (a failure makes it answer -1);
// "devstat_getdevs.0" (a failure answers -1; an answer is the device array,
// back-to-back struct devstat records).
#include "freebsd/devstat.h"

#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "entry.h"
#include "linux/disk_names.h"
#include "linux/host_dirs.h"
#include "linux/host_failure.h"
#include "linux/host_text.h"
#include "script/script.h"

namespace compat {
namespace {

using freebsd::bintime;
using freebsd::devstat;

constexpr std::uint64_t kSectorBytes = 512;

// An exact millisecond count as a bintime whose fraction, read to the
// nanosecond through its upper 32 bits, gives the same milliseconds back.
bintime bintime_from_ms(std::uint64_t ms) {
    bintime t{};
    t.sec = static_cast<std::int64_t>(ms / 1000);
    const std::uint64_t rest = ms % 1000;
    const std::uint64_t high = ((rest << 32) + 999) / 1000;  // rounded up
    t.frac = high << 32;
    return t;
}

// The whole disks /sys/block lists. Returns 0, ENOENT for a host without
// the folder (every disk of diskstats counts then), or the errno of a
// listing that failed otherwise.
int whole_disks(std::vector<std::string>& names) { return list_host_dir("sys/block", names); }

bool is_listed(const std::vector<std::string>& names, std::string_view name) {
    for (const auto& known : names)
        if (known == name) return true;
    return false;
}

bool is_virtual_unused(std::string_view name, const std::uint64_t* counts, int n) {
    const bool virtual_disk = name.starts_with("loop") || name.starts_with("ram") || name.starts_with("zram");
    if (!virtual_disk) return false;
    for (int i = 0; i < n; ++i)
        if (counts[i] != 0) return false;
    return true;
}

void fill_record(devstat& ds, std::string_view name, unsigned major, unsigned minor, const std::uint64_t* c,
                 int n) {
    std::memset(&ds, 0, sizeof ds);
    auto at = [&](int i) { return i < n ? c[i] : 0; };
    DiskName split = split_disk_name(name);
    const std::size_t len = std::min(split.name.size(), sizeof ds.device_name - 1);
    std::memcpy(ds.device_name, split.name.data(), len);
    ds.unit_number = split.unit;
    ds.device_number = (major << 8) | (minor & 0xff);
    ds.operations[freebsd::DEVSTAT_READ] = at(0);
    ds.operations[freebsd::DEVSTAT_WRITE] = at(4);
    ds.operations[freebsd::DEVSTAT_FREE] = at(11);
    ds.operations[freebsd::DEVSTAT_NO_DATA] = at(15);
    ds.bytes[freebsd::DEVSTAT_READ] = at(2) * kSectorBytes;
    ds.bytes[freebsd::DEVSTAT_WRITE] = at(6) * kSectorBytes;
    ds.bytes[freebsd::DEVSTAT_FREE] = at(13) * kSectorBytes;
    ds.duration[freebsd::DEVSTAT_READ] = bintime_from_ms(at(3));
    ds.duration[freebsd::DEVSTAT_WRITE] = bintime_from_ms(at(7));
    ds.duration[freebsd::DEVSTAT_FREE] = bintime_from_ms(at(14));
    ds.duration[freebsd::DEVSTAT_NO_DATA] = bintime_from_ms(at(16));
    ds.busy_time = bintime_from_ms(at(9));
    // Requests finished, and started: the difference is what is in flight.
    const std::uint64_t done = at(0) + at(4) + at(11) + at(15);
    ds.end_count = static_cast<std::uint32_t>(done);
    ds.start_count = static_cast<std::uint32_t>(done + at(8));
    ds.block_size = kSectorBytes;
    ds.device_type = freebsd::DEVSTAT_TYPE_DIRECT;
    ds.allocated = 1;
}

// FNV-1a over the names of the devices listed: changes when the set does.
void hash_name(std::uint64_t& hash, std::string_view name) {
    for (char ch : name) hash = (hash ^ static_cast<unsigned char>(ch)) * 1099511628211ULL;
    hash = (hash ^ 0xff) * 1099511628211ULL;
}

// The pass-through devices, one record each, in unit order; 0, or the errno
// of a listing that failed for another reason than the class being absent.
int host_pass_devices(std::string& records, std::uint64_t& hash) {
    std::vector<std::string> names;
    if (int err = list_host_dir("sys/class/scsi_generic", names); err != 0) return skip_if_gone(err);
    for (const auto& name : names) {
        int unit = 0;
        if (!name.starts_with("sg") || !to_number(std::string_view(name).substr(2), unit) || unit < 0)
            continue;
        devstat ds;
        std::memset(&ds, 0, sizeof ds);
        std::memcpy(ds.device_name, "pass", 4);
        ds.unit_number = unit;
        ds.device_type = freebsd::DEVSTAT_TYPE_PASS;
        ds.allocated = 1;
        records.append(reinterpret_cast<const char*>(&ds), sizeof ds);
        hash_name(hash, name);
    }
    return 0;
}

// The host's disks as records; 0 or an errno.
int host_disks(std::string& records, long& generation) {
    FileText text;
    if (int err = text.read_host("proc/diskstats"); err != 0) return err;
    std::vector<std::string> names;
    const int listed = whole_disks(names);
    if (int err = skip_if_gone(listed); err != 0) return err;
    const bool filter = listed == 0;
    std::uint64_t hash = 1469598103934665603ULL;
    std::string_view rest = text.view();
    while (!rest.empty()) {
        std::string_view line = next_line(rest);
        unsigned major = 0, minor = 0;
        if (!to_number(next_token(line), major) || !to_number(next_token(line), minor)) continue;
        std::string_view name = next_token(line);
        if (name.empty() || (filter && !is_listed(names, name))) continue;
        std::uint64_t counts[17] = {};
        const int n = leading_numbers(line, counts, 17);
        if (n < 11 || is_virtual_unused(name, counts, n)) continue;
        devstat ds;
        fill_record(ds, name, major, minor, counts, n);
        records.append(reinterpret_cast<const char*>(&ds), sizeof ds);
        hash_name(hash, name);
    }
    if (int err = host_pass_devices(records, hash); err != 0) return err;
    generation = static_cast<long>(hash >> 1);
    return 0;
}

}  // namespace
}  // namespace compat

namespace freebsd {

int devstat_checkversion(kvm_t* kd) {
    return compat::guarded_call(-1, [&] {
        if (kd != nullptr) return -1;  // only the running kernel is answered
        auto outcome = compat::script::consult_call("devstat_checkversion", 0);
        return outcome.fail ? -1 : 0;
    });
}

int devstat_getdevs(kvm_t* kd, statinfo* stats) {
    return compat::guarded_call(-1, [&] {
        if (kd != nullptr || stats == nullptr || stats->dinfo == nullptr) return -1;
        auto outcome = compat::script::consult_call("devstat_getdevs", 0);
        if (outcome.fail) return -1;
        std::string built;
        long generation = 0;
        const std::string* records = outcome.answer;
        if (records == nullptr) {
            if (compat::host_disks(built, generation) != 0) return -1;
            records = &built;
        } else {
            generation = static_cast<long>(records->size());
        }
        devinfo* info = stats->dinfo;
        const std::size_t count = records->size() / sizeof(devstat);
        const std::size_t size = sizeof(long) + count * sizeof(devstat);
        auto* memory = static_cast<std::uint8_t*>(std::realloc(info->mem_ptr, size));
        if (memory == nullptr) {  // the old buffer is still the caller's
            errno = ENOMEM;
            return -1;
        }
        std::memcpy(memory, &generation, sizeof generation);
        std::memcpy(memory + sizeof(long), records->data(), count * sizeof(devstat));
        const bool changed = info->generation != generation || info->mem_ptr == nullptr;
        info->mem_ptr = memory;
        info->devices = reinterpret_cast<devstat*>(memory + sizeof(long));
        info->numdevs = static_cast<int>(count);
        info->generation = generation;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        stats->snap_time = static_cast<long double>(now.tv_sec) + now.tv_nsec / 1e9L;
        return changed ? 1 : 0;
    });
}

}  // namespace freebsd
