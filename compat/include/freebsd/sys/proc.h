// FreeBSD process states and process flags (ki_stat, ki_flag).
#pragma once

namespace freebsd {

inline constexpr char SIDL = 1;
inline constexpr char SRUN = 2;
inline constexpr char SSLEEP = 3;
inline constexpr char SSTOP = 4;
inline constexpr char SZOMB = 5;
inline constexpr char SWAIT = 6;
inline constexpr char SLOCK = 7;

inline constexpr int NOCPU = -1;

inline constexpr long P_CONTROLT = 0x00000002;
inline constexpr long P_KPROC = 0x00000004;
inline constexpr long P_SYSTEM = 0x00000200;
inline constexpr long P_TRACED = 0x00000800;
inline constexpr long P_WEXIT = 0x00002000;
inline constexpr long P_INMEM = 0x10000000;

}  // namespace freebsd
