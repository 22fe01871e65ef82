// FreeBSD's media words and the request that reads an interface's media.
#pragma once

#include "freebsd/net/if.h"

namespace freebsd {

inline constexpr int IFM_TMASK = 0x0000001f;
inline constexpr int IFM_NMASK = 0x000000e0;
inline constexpr int IFM_ETHER = 0x00000020;
inline constexpr int IFM_IEEE80211 = 0x00000080;
inline constexpr int IFM_ETH_XTYPE = 0x00007800;
inline constexpr int IFM_ETH_XSHIFT = 6;
inline constexpr int IFM_FDX = 0x00100000;
inline constexpr int IFM_HDX = 0x00200000;
inline constexpr int IFM_AVALID = 0x1;
inline constexpr int IFM_ACTIVE = 0x2;

// The Ethernet subtype number n in a media word (n above 31 uses the extended bits).
constexpr int IFM_X(int n) {
    return (n & IFM_TMASK) | ((n & (IFM_ETH_XTYPE >> IFM_ETH_XSHIFT)) << IFM_ETH_XSHIFT);
}

inline constexpr int IFM_AUTO = 0;
inline constexpr int IFM_NONE = 2;
inline constexpr int IFM_10_T = 3;
inline constexpr int IFM_100_TX = 6;
inline constexpr int IFM_1000_T = 16;
inline constexpr int IFM_2500_SX = 21;
inline constexpr int IFM_10G_LRM = 24;
inline constexpr int IFM_UNKNOWN = 25;
inline constexpr int IFM_10G_T = 26;
inline constexpr int IFM_40G_CR4 = 27;
inline constexpr int IFM_OTHER = 31;
inline constexpr int IFM_20G_KR2 = IFM_X(35);
inline constexpr int IFM_2500_T = IFM_X(37);
inline constexpr int IFM_5000_T = IFM_X(38);
inline constexpr int IFM_100G_CR4 = IFM_X(47);
inline constexpr int IFM_56G_R4 = IFM_X(51);
inline constexpr int IFM_25G_CR = IFM_X(53);
inline constexpr int IFM_50G_CR2 = IFM_X(56);
inline constexpr int IFM_200G_CR4_PAM4 = IFM_X(103);
inline constexpr int IFM_400G_FR8 = IFM_X(113);
inline constexpr int IFM_40G_LM4 = IFM_X(119);

struct ifmediareq {
    char ifm_name[IFNAMSIZ];
    int ifm_current;
    int ifm_mask;
    int ifm_status;
    int ifm_active;
    int ifm_count;  // entries of ifm_ulist wanted; 0 asks for the words alone
    int* ifm_ulist;
};
static_assert(sizeof(ifmediareq) == 48);
static_assert(offsetof(ifmediareq, ifm_active) == 28);

}  // namespace freebsd
