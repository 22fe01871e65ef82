// FreeBSD's disk statistics: the kernel's per-device struct devstat and
// libdevstat's snapshot structures devinfo and statinfo.
#pragma once

#include <cstddef>

#include "freebsd/kvm.h"
#include "freebsd/sys/types.h"

namespace freebsd {

inline constexpr int DEVSTAT_NAME_LEN = 16;
inline constexpr int DEVSTAT_N_TRANS_FLAGS = 4;
inline constexpr int DEVSTAT_VERSION = 6;
inline constexpr int DEVSTAT_USER_API_VER = 6;

// A time as seconds plus a binary fraction of a second: sec + frac / 2^64.
struct bintime {
    std::int64_t sec;
    std::uint64_t frac;
};
static_assert(sizeof(bintime) == 16);
static_assert(offsetof(bintime, frac) == 8);

// FreeBSD declares these enums as typedefs of unnamed enums: C++ there
// knows only the typedef names, never `enum devstat_...`.

// Index of the bytes, operations and duration arrays.
typedef enum {
    DEVSTAT_NO_DATA = 0x00,
    DEVSTAT_READ = 0x01,
    DEVSTAT_WRITE = 0x02,
    DEVSTAT_FREE = 0x03,
} devstat_trans_flags;

typedef enum {
    DEVSTAT_NO_BLOCKSIZE = 0x01,
    DEVSTAT_NO_ORDERED_TAGS = 0x02,
    DEVSTAT_BS_UNAVAILABLE = 0x04,
} devstat_support_flags;

// device_type: the kind of device in the low nibble, its interface in the
// next, and a bit for pass-through devices.
typedef enum {
    DEVSTAT_TYPE_DIRECT = 0x000,
    DEVSTAT_TYPE_SEQUENTIAL = 0x001,
    DEVSTAT_TYPE_CDROM = 0x005,
    DEVSTAT_TYPE_IF_SCSI = 0x010,
    DEVSTAT_TYPE_IF_IDE = 0x020,
    DEVSTAT_TYPE_IF_OTHER = 0x030,
    DEVSTAT_TYPE_MASK = 0x00f,
    DEVSTAT_TYPE_IF_MASK = 0x0f0,
    DEVSTAT_TYPE_PASS = 0x100,
} devstat_type_flags;

// The order in which the kernel lists devices; nothing here reads the
// classes, the type only gives the field its width.
typedef enum {} devstat_priority;

static_assert(sizeof(devstat_support_flags) == 4);
static_assert(sizeof(devstat_type_flags) == 4);
static_assert(sizeof(devstat_priority) == 4);

// One device's counters.
struct devstat {
    std::uint32_t sequence0;  // equal to sequence1 when the record is consistent
    int allocated;
    std::uint32_t start_count;
    std::uint32_t end_count;
    bintime busy_from;
    struct {
        devstat* stqe_next;
    } dev_links;
    std::uint32_t device_number;
    char device_name[DEVSTAT_NAME_LEN];
    int unit_number;
    std::uint64_t bytes[DEVSTAT_N_TRANS_FLAGS];  // indexed by devstat_trans_flags
    std::uint64_t operations[DEVSTAT_N_TRANS_FLAGS];
    bintime duration[DEVSTAT_N_TRANS_FLAGS];
    bintime busy_time;
    bintime creation_time;
    std::uint32_t block_size;
    std::uint64_t tag_types[3];
    devstat_support_flags flags;
    devstat_type_flags device_type;
    devstat_priority priority;
    const void* id;
    std::uint32_t sequence1;
};
static_assert(sizeof(devstat) == 288);
static_assert(offsetof(devstat, start_count) == 8);
static_assert(offsetof(devstat, busy_from) == 16);
static_assert(offsetof(devstat, dev_links) == 32);
static_assert(offsetof(devstat, device_number) == 40);
static_assert(offsetof(devstat, device_name) == 44);
static_assert(offsetof(devstat, unit_number) == 60);
static_assert(offsetof(devstat, bytes) == 64);
static_assert(offsetof(devstat, operations) == 96);
static_assert(offsetof(devstat, duration) == 128);
static_assert(offsetof(devstat, busy_time) == 192);
static_assert(offsetof(devstat, creation_time) == 208);
static_assert(offsetof(devstat, block_size) == 224);
static_assert(offsetof(devstat, tag_types) == 232);
static_assert(offsetof(devstat, flags) == 256);
static_assert(offsetof(devstat, device_type) == 260);
static_assert(offsetof(devstat, priority) == 264);
static_assert(offsetof(devstat, id) == 272);
static_assert(offsetof(devstat, sequence1) == 280);

// libdevstat's list of devices; the caller zeroes it before the first fill.
struct devinfo {
    devstat* devices;
    std::uint8_t* mem_ptr;
    long generation;
    int numdevs;
};
static_assert(sizeof(devinfo) == 32);
static_assert(offsetof(devinfo, mem_ptr) == 8);
static_assert(offsetof(devinfo, generation) == 16);
static_assert(offsetof(devinfo, numdevs) == 24);

// libdevstat's snapshot: CPU time counters, tty counters and the devices.
struct statinfo {
    long cp_time[5];  // one counter per CPU state: user, nice, system, interrupt, idle
    long tk_nin;
    long tk_nout;
    devinfo* dinfo;
    long double snap_time;
};
static_assert(sizeof(statinfo) == 80);
static_assert(offsetof(statinfo, tk_nin) == 40);
static_assert(offsetof(statinfo, dinfo) == 56);
static_assert(offsetof(statinfo, snap_time) == 64);

// libdevstat. Both take no kvm handle for the running kernel.
// devstat_checkversion: 0 when the kernel's records match the library's, -1 otherwise.
int devstat_checkversion(kvm_t* kd);
// Fills stats->dinfo: devices points into mem_ptr, which the library
// (re)allocates and the caller frees. Returns 1 when the list changed since
// the generation in dinfo, 0 when not, -1 on failure.
int devstat_getdevs(kvm_t* kd, statinfo* stats);

}  // namespace freebsd
