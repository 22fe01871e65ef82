// socket(2) and the interface requests of ioctl(2) with FreeBSD's request
// numbers and structures, answered by the host's own requests (flags, MTU)
// and its link settings in /sys (media). Only callers of the stand-in's
// ioctl reach this: the host's ioctl is untouched.
//
// Scripted answers, keyed "<request>.<interface>" ("SIOCGIFMEDIA.em0"): the
// bytes that follow the 16-byte name in the request structure.
#include "freebsd/net/if.h"
#include "freebsd/net/if_media.h"
#include "freebsd/sys/ioctl.h"
#include "freebsd/sys/socket.h"
#include "freebsd/sys/sockio.h"

namespace {
// FreeBSD's numbers, named before the host headers make macros of them.
constexpr unsigned long kGetFlags = freebsd::SIOCGIFFLAGS;
constexpr unsigned long kGetMtu = freebsd::SIOCGIFMTU;
constexpr unsigned long kGetMedia = freebsd::SIOCGIFMEDIA;
constexpr unsigned long kGetExtendedMedia = freebsd::SIOCGIFXMEDIA;
constexpr int kAfInet = freebsd::AF_INET;
constexpr int kAfInet6 = freebsd::AF_INET6;
constexpr int kAfUnix = freebsd::AF_UNIX;
constexpr int kSockStream = freebsd::SOCK_STREAM;
constexpr int kSockDgram = freebsd::SOCK_DGRAM;
constexpr std::size_t kNameSize = freebsd::IFNAMSIZ;
}  // namespace

// The host headers come after: their macros would rewrite FreeBSD names.
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <string>
#include <string_view>

#include "entry.h"
#include "linux/host_files.h"
#include "linux/host_interfaces.h"
#include "linux/host_text.h"
#include "script/script.h"

namespace compat {
namespace {

const char* request_name(unsigned long request) {
    switch (request) {
        case kGetFlags:
            return "SIOCGIFFLAGS";
        case kGetMtu:
            return "SIOCGIFMTU";
        case kGetMedia:
            return "SIOCGIFMEDIA";
        case kGetExtendedMedia:
            return "SIOCGIFXMEDIA";
        default:
            return nullptr;
    }
}

// The interface name of a request: at most 15 bytes before its NUL.
std::string_view request_ifname(const char* name) { return std::string_view(name, strnlen(name, 15)); }

// Asks the host about the interface with a request of its own. Returns 0 or
// FreeBSD's errno: a name no interface has is ENXIO there.
int host_request(int fd, unsigned long host_request_number, std::string_view name, ::ifreq& req) {
    std::memset(&req, 0, sizeof req);
    std::memcpy(req.ifr_name, name.data(), name.size());
    if (::ioctl(fd, host_request_number, &req) == 0) return 0;
    return errno == ENODEV ? ENXIO : errno;
}

// Speeds in Mbit/s and the FreeBSD Ethernet subtype a FreeBSD driver reports
// for a link of that speed.
struct SpeedSubtype {
    long mbits;
    int subtype;
};
constexpr SpeedSubtype kSpeedSubtypes[] = {
    {10, freebsd::IFM_10_T},
    {100, freebsd::IFM_100_TX},
    {1000, freebsd::IFM_1000_T},
    {2500, freebsd::IFM_2500_T},
    {5000, freebsd::IFM_5000_T},
    {10000, freebsd::IFM_10G_T},
    {20000, freebsd::IFM_20G_KR2},
    {25000, freebsd::IFM_25G_CR},
    {40000, freebsd::IFM_40G_CR4},
    {50000, freebsd::IFM_50G_CR2},
    {56000, freebsd::IFM_56G_R4},
    {100000, freebsd::IFM_100G_CR4},
    {200000, freebsd::IFM_200G_CR4_PAM4},
    {400000, freebsd::IFM_400G_FR8},
};

int subtype_of_speed(long mbits) {
    if (mbits <= 0) return freebsd::IFM_NONE;  // no link, or the host does not know
    for (const SpeedSubtype& row : kSpeedSubtypes) {
        if (row.mbits == mbits) return row.subtype;
    }
    return freebsd::IFM_UNKNOWN;
}

// The kinds of virtual interface whose FreeBSD counterparts answer media
// requests their own way, told by the host driver's name (ETHTOOL_GDRVINFO).
enum class LinkKind { other, tun, tap, bridge, lagg, vlan };

LinkKind link_kind(int fd, std::string_view name) {
    ::ethtool_drvinfo info;
    std::memset(&info, 0, sizeof info);
    info.cmd = ETHTOOL_GDRVINFO;
    ::ifreq req;
    std::memset(&req, 0, sizeof req);
    std::memcpy(req.ifr_name, name.data(), name.size());
    req.ifr_data = reinterpret_cast<char*>(&info);
    if (::ioctl(fd, SIOCETHTOOL, &req) != 0) return LinkKind::other;
    const std::string_view driver(info.driver, strnlen(info.driver, sizeof info.driver));
    // The host's tun driver serves both: its bus is "tun" (layer 3) or "tap".
    if (driver == "tun")
        return std::string_view(info.bus_info, strnlen(info.bus_info, sizeof info.bus_info)) == "tap"
                   ? LinkKind::tap
                   : LinkKind::tun;
    if (driver == "bridge") return LinkKind::bridge;
    if (driver == "bonding" || driver == "team") return LinkKind::lagg;
    if (driver == "802.1Q VLAN Support") return LinkKind::vlan;
    return LinkKind::other;
}

// Whether the host says the link has carrier.
bool has_carrier(const std::string& base) {
    FileText text;
    return text.read_host(base + "/carrier") == 0 && text.view().substr(0, 1) == "1";
}

void set_media(freebsd::ifmediareq& req, int word, bool active) {
    req.ifm_status = freebsd::IFM_AVALID | (active ? freebsd::IFM_ACTIVE : 0);
    req.ifm_active = word;
    req.ifm_current = word;
    req.ifm_mask = 0;
}

// The name of the host driver bound to the interface's device (the last
// part of /sys/class/net/IF/device/driver); empty for an interface without
// a device, as virtual ones are.
std::string device_driver(const std::string& base) {
    const std::string path = host_root() + base + "/device/driver";
    char target[PATH_MAX];
    const ssize_t len = ::readlink(path.c_str(), target, sizeof target);
    if (len <= 0 || static_cast<std::size_t>(len) >= sizeof target) return {};
    const std::string_view link(target, static_cast<std::size_t>(len));
    const std::size_t slash = link.rfind('/');
    return std::string(slash == std::string_view::npos ? link : link.substr(slash + 1));
}

// The host could not do the read: the request fails with its errno rather
// than say the interface has no media.
bool host_could_not_read(int err) { return err == EMFILE || err == ENFILE || err == ENOMEM; }

// The media words of an interface from /sys/class/net/IF/{speed,duplex,carrier}.
// An interface whose driver has no link settings (the loopback, most virtual
// ones) fails as FreeBSD's do without media: EINVAL.
//
// A virtio network device has no speed on either side; FreeBSD's vtnet
// makes one up (vtnet_ifmedia_sts): 10GBASE-T full duplex while the link is
// up, no active media while it is down. The host tells the link by carrier,
// which it does not show for an interface that is down.
int host_media(std::string_view name, freebsd::ifmediareq& req) {
    std::string base = "sys/class/net/";
    base.append(name);
    if (device_driver(base) == "virtio_net") {
        const bool up = has_carrier(base);
        set_media(req, freebsd::IFM_ETHER | (up ? freebsd::IFM_10G_T | freebsd::IFM_FDX : freebsd::IFM_NONE),
                  up);
        req.ifm_current = freebsd::IFM_ETHER | freebsd::IFM_AUTO;
        return 0;
    }
    long speed = 0;
    FileText text;
    const int err = text.read_host(base + "/speed");
    if (host_could_not_read(err)) return err;
    if (err != 0 || leading_numbers(text.view(), &speed, 1) != 1) return EINVAL;
    int word = freebsd::IFM_ETHER | subtype_of_speed(speed);
    if (text.read_host(base + "/duplex") == 0) {
        std::string_view duplex = text.view();
        if (duplex.substr(0, 4) == "full") word |= freebsd::IFM_FDX;
        if (duplex.substr(0, 4) == "half") word |= freebsd::IFM_HDX;
    }
    set_media(req, word, has_carrier(base));
    return 0;
}

// What FreeBSD's SIOCGIFMEDIA makes of an extended Ethernet subtype, which
// only SIOCGIFXMEDIA reports as it is.
int compat_media(int word) {
    if ((word & freebsd::IFM_NMASK) == freebsd::IFM_ETHER && (word & freebsd::IFM_ETH_XTYPE) != 0)
        return (word & ~(freebsd::IFM_ETH_XTYPE | freebsd::IFM_TMASK)) | freebsd::IFM_OTHER;
    return word;
}

// The host name of the interface a vlan sits on (its iflink).
bool vlan_parent(std::string_view name, char (&parent)[IF_NAMESIZE]) {
    std::string path = "sys/class/net/";
    path.append(name);
    unsigned index = 0;
    return host_number(path + "/iflink", index) && index != 0 && ::if_indextoname(index, parent) != nullptr;
}

// The media words as FreeBSD's driver of the same kind answers them:
//   tun (layer 3), bridge  no media: EINVAL
//   tap, lagg (bond, team) Ethernet, autoselect, no duplex (speed 0)
//   vlan                   its parent's answer to SIOCGIFMEDIA (the vlan
//                          forwards only that request; SIOCGIFXMEDIA is
//                          EINVAL, so an extended subtype reads as OTHER)
//   any other              the host's link settings (a veth, like an epair,
//                          reports 10GBASE-T full duplex)
int kind_media(int fd, unsigned long request, std::string_view name, freebsd::ifmediareq& req, int depth) {
    const LinkKind kind = link_kind(fd, name);
    switch (kind) {
        case LinkKind::tun:
        case LinkKind::bridge:
            return EINVAL;
        case LinkKind::tap:
        case LinkKind::lagg: {
            std::string base = "sys/class/net/";
            base.append(name);
            set_media(req, freebsd::IFM_ETHER | freebsd::IFM_AUTO, has_carrier(base));
            return 0;
        }
        case LinkKind::vlan: {
            char parent[IF_NAMESIZE] = {};
            if (request == kGetExtendedMedia || depth > 8 || !vlan_parent(name, parent)) return EINVAL;
            return kind_media(fd, request, parent, req, depth + 1);
        }
        case LinkKind::other:
            break;
    }
    return host_media(name, req);
}

int media_request(int fd, unsigned long request, freebsd::ifmediareq& req) {
    const std::string_view name = request_ifname(req.ifm_name);
    ::ifreq probe;
    if (int err = host_request(fd, SIOCGIFINDEX, name, probe); err != 0) return err;
    if (name.find('/') != std::string_view::npos || name == "." || name == "..") return ENXIO;
    if (int err = kind_media(fd, request, name, req, 0); err != 0) return err;
    if (request == kGetMedia) {
        req.ifm_active = compat_media(req.ifm_active);
        req.ifm_current = compat_media(req.ifm_current);
    }
    // One entry, the active word, for a caller that asks for the list.
    if (req.ifm_count > 0 && req.ifm_ulist != nullptr) req.ifm_ulist[0] = req.ifm_active;
    req.ifm_count = 1;
    return 0;
}

int if_request(int fd, unsigned long request, void* arg) {
    if (arg == nullptr) return EFAULT;
    char* name = static_cast<char*>(arg);  // both structures begin with the name
    const char* what = request_name(request);
    std::string key(what);
    key.push_back('.');
    key.append(request_ifname(name));
    auto outcome = script::consult(key, script::Kind::call);
    if (outcome.fail) return outcome.err;
    if (outcome.answer != nullptr) {
        const std::size_t size =
            request == kGetFlags || request == kGetMtu ? sizeof(freebsd::ifreq) : sizeof(freebsd::ifmediareq);
        const std::size_t room = size - kNameSize;
        std::memcpy(name + kNameSize, outcome.answer->data(), std::min(room, outcome.answer->size()));
        return 0;
    }
    if (request == kGetMedia || request == kGetExtendedMedia)
        return media_request(fd, request, *static_cast<freebsd::ifmediareq*>(arg));
    auto& req = *static_cast<freebsd::ifreq*>(arg);
    ::ifreq host;
    if (request == kGetFlags) {
        if (int err = host_request(fd, SIOCGIFFLAGS, request_ifname(name), host); err != 0) return err;
        const unsigned short host_flags = static_cast<unsigned short>(host.ifr_flags);
        // Only an interface that is up without the host's running flag runs
        // on one side and not the other: there the hardware type tells a
        // layer-3 tun, whose running flag is the host's.
        unsigned short hw_type = 0;
        if ((host_flags & IFF_UP) != 0 && (host_flags & IFF_RUNNING) == 0) {
            if (int err = host_request(fd, SIOCGIFHWADDR, request_ifname(name), host); err != 0) return err;
            hw_type = host.ifr_hwaddr.sa_family;
        }
        const unsigned flags = freebsd_if_flags(host_flags, hw_type);
        req.ifr_ifru.ifru_flags[0] = static_cast<short>(flags & 0xffff);
        req.ifr_ifru.ifru_flags[1] = static_cast<short>(flags >> 16);
        return 0;
    }
    if (int err = host_request(fd, SIOCGIFMTU, request_ifname(name), host); err != 0) return err;
    req.ifr_ifru.ifru_mtu = host.ifr_mtu;
    return 0;
}

int host_family(int family) {
    if (family == kAfInet) return AF_INET;
    if (family == kAfInet6) return AF_INET6;
    if (family == kAfUnix) return AF_UNIX;
    return -1;
}

int host_type(int type) {
    if (type == kSockStream) return SOCK_STREAM;
    if (type == kSockDgram) return SOCK_DGRAM;
    return -1;
}

}  // namespace
}  // namespace compat

namespace freebsd {

int socket(int domain, int type, int protocol) {
    return compat::guarded_call(-1, [&] {
        auto outcome = compat::script::consult("socket", compat::script::Kind::call);
        if (outcome.fail) {
            errno = outcome.err;
            return -1;
        }
        const int family = compat::host_family(domain);
        const int kind = compat::host_type(type);
        if (family < 0) {
            errno = EAFNOSUPPORT;
            return -1;
        }
        if (kind < 0) {
            errno = EPROTOTYPE;
            return -1;
        }
        return ::socket(family, kind | SOCK_CLOEXEC, protocol);
    });
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return compat::guarded_call(-1, [&] {
        if (compat::request_name(request) == nullptr) {
            errno = ENOTTY;
            return -1;
        }
        if (int err = compat::if_request(fd, request, arg); err != 0) {
            errno = err;
            return -1;
        }
        return 0;
    });
}

}  // namespace freebsd
