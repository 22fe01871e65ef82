// FreeBSD process states and process flags (ki_stat, ki_flag).
#pragma once

#include <type_traits>

namespace freebsd {

inline constexpr int SIDL = 1;
inline constexpr int SRUN = 2;
inline constexpr int SSLEEP = 3;
inline constexpr int SSTOP = 4;
inline constexpr int SZOMB = 5;
inline constexpr int SWAIT = 6;
inline constexpr int SLOCK = 7;
static_assert(std::is_same_v<std::remove_cv_t<decltype(SIDL)>, int>);

inline constexpr int NOCPU = -1;

inline constexpr int P_CONTROLT = 0x00000002;
inline constexpr int P_KPROC = 0x00000004;
inline constexpr int P_SYSTEM = 0x00000200;
inline constexpr int P_TRACED = 0x00000800;
inline constexpr int P_WEXIT = 0x00002000;
inline constexpr int P_INMEM = 0x10000000;
static_assert(std::is_same_v<std::remove_cv_t<decltype(P_SYSTEM)>, int>);

}  // namespace freebsd
