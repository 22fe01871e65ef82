// FreeBSD's interface flags, per-interface statistics, the routing messages
// that carry them, and the interface request of the socket ioctls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "freebsd/sys/socket.h"
#include "freebsd/sys/types.h"

namespace freebsd {

inline constexpr int IFNAMSIZ = 16;
inline constexpr int IF_NAMESIZE = IFNAMSIZ;

// Interface flags: the low 16 bits travel in ifr_flags, the high 16 in ifr_flagshigh.
inline constexpr int IFF_UP = 0x1;
inline constexpr int IFF_BROADCAST = 0x2;
inline constexpr int IFF_DEBUG = 0x4;
inline constexpr int IFF_LOOPBACK = 0x8;
inline constexpr int IFF_POINTOPOINT = 0x10;
inline constexpr int IFF_NEEDSEPOCH = 0x20;
inline constexpr int IFF_DRV_RUNNING = 0x40;
inline constexpr int IFF_RUNNING = IFF_DRV_RUNNING;
inline constexpr int IFF_NOARP = 0x80;
inline constexpr int IFF_PROMISC = 0x100;
inline constexpr int IFF_ALLMULTI = 0x200;
inline constexpr int IFF_DRV_OACTIVE = 0x400;
inline constexpr int IFF_OACTIVE = IFF_DRV_OACTIVE;
inline constexpr int IFF_SIMPLEX = 0x800;
inline constexpr int IFF_LINK0 = 0x1000;
inline constexpr int IFF_LINK1 = 0x2000;
inline constexpr int IFF_LINK2 = 0x4000;
inline constexpr int IFF_MULTICAST = 0x8000;
inline constexpr int IFF_PPROMISC = 0x20000;

inline constexpr std::uint8_t LINK_STATE_UNKNOWN = 0;
inline constexpr std::uint8_t LINK_STATE_DOWN = 1;
inline constexpr std::uint8_t LINK_STATE_UP = 2;

// Interface types (ifi_type, sdl_type).
inline constexpr std::uint8_t IFT_OTHER = 0x1;
inline constexpr std::uint8_t IFT_ETHER = 0x6;
inline constexpr std::uint8_t IFT_PPP = 0x17;
inline constexpr std::uint8_t IFT_LOOP = 0x18;
inline constexpr std::uint8_t IFT_TUNNEL = 0x83;

struct if_data {
    std::uint8_t ifi_type;
    std::uint8_t ifi_physical;
    std::uint8_t ifi_addrlen;
    std::uint8_t ifi_hdrlen;
    std::uint8_t ifi_link_state;
    std::uint8_t ifi_vhid;
    std::uint16_t ifi_datalen;
    std::uint32_t ifi_mtu;
    std::uint32_t ifi_metric;
    std::uint64_t ifi_baudrate;
    std::uint64_t ifi_ipackets;
    std::uint64_t ifi_ierrors;
    std::uint64_t ifi_opackets;
    std::uint64_t ifi_oerrors;
    std::uint64_t ifi_collisions;
    std::uint64_t ifi_ibytes;
    std::uint64_t ifi_obytes;
    std::uint64_t ifi_imcasts;
    std::uint64_t ifi_omcasts;
    std::uint64_t ifi_iqdrops;
    std::uint64_t ifi_oqdrops;
    std::uint64_t ifi_noproto;
    std::uint64_t ifi_hwassist;
    union {
        std::int64_t tt;
        std::uint64_t ph;
    } __ifi_epoch;
    union {
        ::timeval tv;
        struct {
            std::uint64_t ph1;
            std::uint64_t ph2;
        } ph;
    } __ifi_lastchange;
};
static_assert(sizeof(if_data) == 152);
static_assert(offsetof(if_data, ifi_iqdrops) == 96 && offsetof(if_data, ifi_oqdrops) == 104);

// An RTM_IFINFO message: the header, then the socket addresses ifm_addrs names.
struct if_msghdr {
    std::uint16_t ifm_msglen;
    std::uint8_t ifm_version;
    std::uint8_t ifm_type;
    int ifm_addrs;
    int ifm_flags;
    std::uint16_t ifm_index;
    std::uint16_t _ifm_spare1;
    if_data ifm_data;
};
static_assert(sizeof(if_msghdr) == 168);
static_assert(offsetof(if_msghdr, ifm_data) == 16);

// An RTM_NEWADDR message: the header, then the socket addresses ifam_addrs names.
struct ifa_msghdr {
    std::uint16_t ifam_msglen;
    std::uint8_t ifam_version;
    std::uint8_t ifam_type;
    int ifam_addrs;
    int ifam_flags;
    std::uint16_t ifam_index;
    std::uint16_t _ifam_spare1;
    int ifam_metric;
};
static_assert(sizeof(ifa_msghdr) == 20);

struct ifreq {
    char ifr_name[IFNAMSIZ];
    union {
        sockaddr ifru_addr;
        short ifru_flags[2];
        short ifru_index;
        int ifru_metric;
        int ifru_mtu;
        int ifru_media;
        char* ifru_data;
        int ifru_cap[2];
        struct {
            std::size_t length;
            void* buffer;
        } ifru_buffer;
    } ifr_ifru;
};
static_assert(sizeof(ifreq) == 32);

}  // namespace freebsd
