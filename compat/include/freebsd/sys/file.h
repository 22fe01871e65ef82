// FreeBSD's system-wide file table: the records of kern.file.
#pragma once

#include <cstddef>
#include <type_traits>

#include "freebsd/sys/types.h"

namespace freebsd {

// xf_type: the kind of the open file. These numbers are not kinfo_file's
// KF_TYPE_* (DTYPE_DEV is 11 where KF_TYPE_DEV is 12).
inline constexpr int DTYPE_VNODE = 1;
inline constexpr int DTYPE_SOCKET = 2;
inline constexpr int DTYPE_PIPE = 3;
inline constexpr int DTYPE_FIFO = 4;
inline constexpr int DTYPE_KQUEUE = 5;
inline constexpr int DTYPE_CRYPTO = 6;
inline constexpr int DTYPE_MQUEUE = 7;
inline constexpr int DTYPE_SHM = 8;
inline constexpr int DTYPE_SEM = 9;
inline constexpr int DTYPE_PTS = 10;
inline constexpr int DTYPE_DEV = 11;
inline constexpr int DTYPE_PROCDESC = 12;
inline constexpr int DTYPE_EVENTFD = 13;
static_assert(std::is_same_v<std::remove_cv_t<decltype(DTYPE_VNODE)>, int>);

// One open file of one descriptor of one process.
struct xfile {
    std::uint64_t xf_size;  // sizeof(struct xfile)
    std::int32_t xf_pid;
    std::uint32_t xf_uid;
    int xf_fd;
    int _xf_int_pad1;
    kvaddr_t xf_file;
    short xf_type;  // DTYPE_*
    short _xf_short_pad1;
    int xf_count;
    int xf_msgcount;
    int _xf_int_pad2;
    std::int64_t xf_offset;
    kvaddr_t xf_data;  // for a socket: the socket's address, as xsocket's xso_so
    kvaddr_t xf_vnode;
    std::uint32_t xf_flag;
    int _xf_int_pad3;
    std::int64_t _xf_int64_pad[6];
};
static_assert(sizeof(xfile) == 128);
static_assert(offsetof(xfile, xf_pid) == 8);
static_assert(offsetof(xfile, xf_fd) == 16);
static_assert(offsetof(xfile, xf_file) == 24);
static_assert(offsetof(xfile, xf_type) == 32);
static_assert(offsetof(xfile, xf_count) == 36);
static_assert(offsetof(xfile, xf_offset) == 48);
static_assert(offsetof(xfile, xf_data) == 56);
static_assert(offsetof(xfile, xf_vnode) == 64);
static_assert(offsetof(xfile, xf_flag) == 72);
static_assert(offsetof(xfile, _xf_int64_pad) == 80);

}  // namespace freebsd
