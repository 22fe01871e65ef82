// FreeBSD's routing messages as the interface-list sysctl returns them.
#pragma once

#include <cstdint>

namespace freebsd {

inline constexpr int NET_RT_DUMP = 1;
inline constexpr int NET_RT_FLAGS = 2;
inline constexpr int NET_RT_IFLIST = 3;
inline constexpr int NET_RT_IFMALIST = 4;

inline constexpr std::uint8_t RTM_VERSION = 5;
inline constexpr std::uint8_t RTM_NEWADDR = 0xc;
inline constexpr std::uint8_t RTM_DELADDR = 0xd;
inline constexpr std::uint8_t RTM_IFINFO = 0xe;
inline constexpr std::uint8_t RTM_IFANNOUNCE = 0x11;

// Which socket addresses follow a message header, in this order.
inline constexpr int RTA_DST = 0x1;
inline constexpr int RTA_GATEWAY = 0x2;
inline constexpr int RTA_NETMASK = 0x4;
inline constexpr int RTA_GENMASK = 0x8;
inline constexpr int RTA_IFP = 0x10;
inline constexpr int RTA_IFA = 0x20;
inline constexpr int RTA_AUTHOR = 0x40;
inline constexpr int RTA_BRD = 0x80;

}  // namespace freebsd
