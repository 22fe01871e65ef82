// FreeBSD's mounted filesystems: struct statfs as getfsstat(2) and
// statfs(2) fill it, and the mount flags of its f_flags.
#pragma once

#include <cstddef>
#include <type_traits>

#include "freebsd/sys/types.h"

namespace freebsd {

inline constexpr int MFSNAMELEN = 16;  // f_fstypename, NUL included
inline constexpr int MNAMELEN = 1024;  // f_mntfromname and f_mntonname, NUL included
inline constexpr std::uint32_t STATFS_VERSION = 0x20140518;

// f_flags (64 bits)
inline constexpr unsigned long long MNT_RDONLY = 0x0000000000000001;
inline constexpr unsigned long long MNT_SYNCHRONOUS = 0x0000000000000002;
inline constexpr unsigned long long MNT_NOEXEC = 0x0000000000000004;
inline constexpr unsigned long long MNT_NOSUID = 0x0000000000000008;
inline constexpr unsigned long long MNT_NFS4ACLS = 0x0000000000000010;
inline constexpr unsigned long long MNT_UNION = 0x0000000000000020;
inline constexpr unsigned long long MNT_ASYNC = 0x0000000000000040;
inline constexpr unsigned long long MNT_EXPORTED = 0x0000000000000100;
inline constexpr unsigned long long MNT_LOCAL = 0x0000000000001000;
inline constexpr unsigned long long MNT_QUOTA = 0x0000000000002000;
inline constexpr unsigned long long MNT_ROOTFS = 0x0000000000004000;
inline constexpr unsigned long long MNT_USER = 0x0000000000008000;
inline constexpr unsigned long long MNT_SUIDDIR = 0x0000000000100000;
inline constexpr unsigned long long MNT_SOFTDEP = 0x0000000000200000;
inline constexpr unsigned long long MNT_NOSYMFOLLOW = 0x0000000000400000;
inline constexpr unsigned long long MNT_IGNORE = 0x0000000000800000;
inline constexpr unsigned long long MNT_GJOURNAL = 0x0000000002000000;
inline constexpr unsigned long long MNT_MULTILABEL = 0x0000000004000000;
inline constexpr unsigned long long MNT_ACLS = 0x0000000008000000;
inline constexpr unsigned long long MNT_NOATIME = 0x0000000010000000;
inline constexpr unsigned long long MNT_NOCLUSTERR = 0x0000000040000000;
inline constexpr unsigned long long MNT_NOCLUSTERW = 0x0000000080000000;
inline constexpr unsigned long long MNT_SUJ = 0x0000000100000000;
inline constexpr unsigned long long MNT_AUTOMOUNTED = 0x0000000200000000;
inline constexpr unsigned long long MNT_VERIFIED = 0x0000000400000000;
inline constexpr unsigned long long MNT_UNTRUSTED = 0x0000000800000000;
static_assert(std::is_same_v<std::remove_cv_t<decltype(MNT_RDONLY)>, unsigned long long>);

// getfsstat(2) modes
inline constexpr int MNT_WAIT = 1;
inline constexpr int MNT_NOWAIT = 2;
inline constexpr int MNT_LAZY = 3;

// The host's <sys/types.h> has an fsid_t of its own in the global
// namespace, so the module names this one only through f_fsid.
struct fsid {
    std::int32_t val[2];
};
using fsid_t = fsid;
static_assert(sizeof(fsid_t) == 8);

struct statfs {
    std::uint32_t f_version;  // STATFS_VERSION
    std::uint32_t f_type;
    std::uint64_t f_flags;  // MNT_*
    std::uint64_t f_bsize;
    std::uint64_t f_iosize;
    std::uint64_t f_blocks;
    std::uint64_t f_bfree;
    std::int64_t f_bavail;
    std::uint64_t f_files;
    std::int64_t f_ffree;
    std::uint64_t f_syncwrites;
    std::uint64_t f_asyncwrites;
    std::uint64_t f_syncreads;
    std::uint64_t f_asyncreads;
    std::uint32_t f_nvnodelistsize;
    std::uint32_t f_spare0;
    std::uint64_t f_spare[9];
    std::uint32_t f_namemax;
    std::uint32_t f_owner;
    fsid_t f_fsid;
    char f_charspare[80];
    char f_fstypename[MFSNAMELEN];
    char f_mntfromname[MNAMELEN];
    char f_mntonname[MNAMELEN];
};
static_assert(sizeof(struct statfs) == 2344);
static_assert(offsetof(struct statfs, f_flags) == 8);
static_assert(offsetof(struct statfs, f_bsize) == 16);
static_assert(offsetof(struct statfs, f_blocks) == 32);
static_assert(offsetof(struct statfs, f_bavail) == 48);
static_assert(offsetof(struct statfs, f_files) == 56);
static_assert(offsetof(struct statfs, f_ffree) == 64);
static_assert(offsetof(struct statfs, f_syncwrites) == 72);
static_assert(offsetof(struct statfs, f_asyncreads) == 96);
static_assert(offsetof(struct statfs, f_spare) == 112);
static_assert(offsetof(struct statfs, f_namemax) == 184);
static_assert(offsetof(struct statfs, f_owner) == 188);
static_assert(offsetof(struct statfs, f_fsid) == 192);
static_assert(offsetof(struct statfs, f_charspare) == 200);
static_assert(offsetof(struct statfs, f_fstypename) == 280);
static_assert(offsetof(struct statfs, f_mntfromname) == 296);
static_assert(offsetof(struct statfs, f_mntonname) == 1320);

// Fills buf (bufsize bytes) with one record per mounted filesystem, as many
// as fit, and returns how many it wrote; with no buffer, returns how many
// filesystems are mounted. -1 with errno on failure.
int getfsstat(struct statfs* buf, long bufsize, int mode);

}  // namespace freebsd
