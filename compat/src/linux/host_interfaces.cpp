// The host's interfaces from rtnetlink: one dump of the links (with their
// 64-bit counters) and one of the addresses, read into one snapshot.
#include "linux/host_interfaces.h"

#include "freebsd/net/if.h"
#include "freebsd/net/if_dl.h"
#include "freebsd/sys/socket.h"

namespace compat::bsd {
// FreeBSD's family numbers, named before the host headers make AF_* macros.
constexpr std::uint8_t kAfInet = freebsd::AF_INET;
constexpr std::uint8_t kAfInet6 = freebsd::AF_INET6;
constexpr std::uint8_t kAfLink = freebsd::AF_LINK;
}  // namespace compat::bsd

// The host headers come after: their macros would rewrite FreeBSD names.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "linux/host_files.h"

namespace compat {
namespace {

constexpr std::size_t kReceiveSize = 1 << 16;

// Sends one dump request and hands every answered message to each_message
// until the kernel says it is done. Returns 0 or an errno.
// NLMSG_OK without its mixed-sign comparison: a whole header, and a message
// that claims no more than what is left of the datagram.
bool message_fits(const nlmsghdr* msg, int left) {
    return left >= static_cast<int>(sizeof(nlmsghdr)) && msg->nlmsg_len >= sizeof(nlmsghdr) &&
           msg->nlmsg_len <= static_cast<unsigned>(left);
}

template <typename Request, typename EachMessage>
int dump(Request& request, EachMessage each_message) {
    Fd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd.valid()) return errno;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) <
        0)
        return errno;
    std::unique_ptr<char[]> buffer(new char[kReceiveSize]);
    for (;;) {
        const ssize_t got = ::recv(fd.get(), buffer.get(), kReceiveSize, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return EIO;
        int left = static_cast<int>(got);
        for (auto* msg = reinterpret_cast<nlmsghdr*>(buffer.get()); message_fits(msg, left);
             msg = NLMSG_NEXT(msg, left)) {
            if (msg->nlmsg_seq != request.header.nlmsg_seq) continue;
            if (msg->nlmsg_type == NLMSG_DONE) return 0;
            if (msg->nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(msg));
                return error->error == 0 ? 0 : -error->error;
            }
            each_message(msg);
        }
    }
}

template <typename Body>
struct DumpRequest {
    nlmsghdr header;
    Body body;
};

template <typename Body>
DumpRequest<Body> dump_request(unsigned short type) {
    DumpRequest<Body> request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    return request;
}

// Calls each(type, data, length) for every attribute of a message whose
// fixed part is Body.
template <typename Body, typename Each>
void each_attribute(nlmsghdr* msg, Each each) {
    int left = static_cast<int>(msg->nlmsg_len) - static_cast<int>(NLMSG_LENGTH(sizeof(Body)));
    auto* attr = reinterpret_cast<rtattr*>(static_cast<char*>(NLMSG_DATA(msg)) + NLMSG_ALIGN(sizeof(Body)));
    for (; RTA_OK(attr, left); attr = RTA_NEXT(attr, left))
        each(attr->rta_type, static_cast<const std::uint8_t*>(RTA_DATA(attr)), RTA_PAYLOAD(attr));
}

void read_link(nlmsghdr* msg, std::vector<HostLink>& links) {
    if (msg->nlmsg_type != RTM_NEWLINK || msg->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(msg));
    HostLink link;
    link.index = info->ifi_index;
    link.hw_type = info->ifi_type;
    link.flags = info->ifi_flags;
    each_attribute<ifinfomsg>(msg, [&](unsigned type, const std::uint8_t* data, std::size_t len) {
        switch (type) {
            case IFLA_IFNAME:
                link.name_len = static_cast<std::uint8_t>(
                    strnlen(reinterpret_cast<const char*>(data), std::min(len, sizeof link.name - 1)));
                std::memcpy(link.name, data, link.name_len);
                break;
            case IFLA_ADDRESS:
                link.hw_len = static_cast<std::uint8_t>(std::min(len, sizeof link.hw));
                std::memcpy(link.hw, data, link.hw_len);
                break;
            case IFLA_MTU:
                if (len >= sizeof link.mtu) std::memcpy(&link.mtu, data, sizeof link.mtu);
                break;
            case IFLA_OPERSTATE:
                if (len >= 1) link.operstate = data[0];
                break;
            case IFLA_STATS64: {
                rtnl_link_stats64 stats{};
                std::memcpy(&stats, data, std::min(len, sizeof stats));
                link.counters = {stats.rx_packets, stats.tx_packets, stats.rx_bytes,    stats.tx_bytes,
                                 stats.rx_errors,  stats.tx_errors,  stats.rx_dropped,  stats.tx_dropped,
                                 stats.multicast,  stats.collisions, stats.rx_nohandler};
                break;
            }
            default:
                break;
        }
    });
    if (link.name_len > 0) links.push_back(link);
}

void read_addr(nlmsghdr* msg, std::vector<HostAddr>& addrs) {
    if (msg->nlmsg_type != RTM_NEWADDR || msg->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return;
    const auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(msg));
    if (info->ifa_family != AF_INET && info->ifa_family != AF_INET6) return;
    HostAddr addr;
    addr.index = static_cast<int>(info->ifa_index);
    addr.inet6 = info->ifa_family == AF_INET6;
    addr.prefix_len = info->ifa_prefixlen;
    addr.flags = info->ifa_flags;
    const std::size_t width = addr.inet6 ? 16 : 4;
    bool has_local = false;
    bool has_address = false;
    std::uint8_t address[16] = {};
    each_attribute<ifaddrmsg>(msg, [&](unsigned type, const std::uint8_t* data, std::size_t len) {
        if (len < width) return;
        switch (type) {
            case IFA_LOCAL:
                std::memcpy(addr.local, data, width);
                has_local = true;
                break;
            case IFA_ADDRESS:
                std::memcpy(address, data, width);
                has_address = true;
                break;
            case IFA_BROADCAST:
                std::memcpy(addr.broadcast, data, width);
                addr.has_broadcast = true;
                break;
            case IFA_FLAGS:
                if (len >= sizeof addr.flags) std::memcpy(&addr.flags, data, sizeof addr.flags);
                break;
            default:
                break;
        }
    });
    // With both, IFA_LOCAL is the interface's own address and a different
    // IFA_ADDRESS the point-to-point peer; alone, IFA_ADDRESS is its own.
    if (!has_local && !has_address) return;
    if (!has_local) {
        std::memcpy(addr.local, address, width);
    } else if (has_address && std::memcmp(address, addr.local, width) != 0) {
        std::memcpy(addr.peer, address, width);
        addr.has_peer = true;
    }
    addrs.push_back(addr);
}

}  // namespace

int read_host_interfaces(HostInterfaces& out) {
    out.links.clear();
    out.addrs.clear();
    auto links = dump_request<ifinfomsg>(RTM_GETLINK);
    if (int err = dump(links, [&](nlmsghdr* msg) { read_link(msg, out.links); }); err != 0) return err;
    std::vector<HostAddr> found;
    if (int err = read_host_addrs(found); err != 0) return err;

    // Each link's addresses together, in link order, keeping the host's
    // order within a link; an address whose link came after the link dump
    // is left out, as that link is.
    std::unordered_map<int, std::size_t> position;
    position.reserve(out.links.size());
    for (std::size_t i = 0; i < out.links.size(); ++i) position.emplace(out.links[i].index, i);
    std::vector<std::pair<std::size_t, std::size_t>> order;  // (link position, address position)
    order.reserve(found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        auto it = position.find(found[i].index);
        if (it != position.end()) order.emplace_back(it->second, i);
    }
    std::sort(order.begin(), order.end());
    out.addrs.reserve(order.size());
    std::size_t next = 0;
    for (std::size_t link = 0; link < out.links.size(); ++link) {
        out.links[link].addr_begin = out.addrs.size();
        for (; next < order.size() && order[next].first == link; ++next)
            out.addrs.push_back(found[order[next].second]);
        out.links[link].addr_end = out.addrs.size();
    }
    return 0;
}

int read_host_addrs(std::vector<HostAddr>& out) {
    out.clear();
    auto addrs = dump_request<ifaddrmsg>(RTM_GETADDR);
    return dump(addrs, [&](nlmsghdr* msg) { read_addr(msg, out); });
}

int count_host_links(int index, std::size_t& count) {
    count = 0;
    auto stats = dump_request<if_stats_msg>(RTM_GETSTATS);
    stats.body.filter_mask = IFLA_STATS_FILTER_BIT(IFLA_STATS_LINK_64);
    return dump(stats, [&](nlmsghdr* msg) {
        if (msg->nlmsg_type != RTM_NEWSTATS || msg->nlmsg_len < NLMSG_LENGTH(sizeof(if_stats_msg))) return;
        const auto* info = static_cast<const if_stats_msg*>(NLMSG_DATA(msg));
        if (index == 0 || static_cast<int>(info->ifindex) == index) ++count;
    });
}

unsigned freebsd_if_flags(unsigned host, unsigned short hw_type) {
    struct Pair {
        unsigned host;
        int freebsd;
    };
    static constexpr Pair kSame[] = {
        {IFF_UP, freebsd::IFF_UP},
        {IFF_BROADCAST, freebsd::IFF_BROADCAST},
        {IFF_DEBUG, freebsd::IFF_DEBUG},
        {IFF_LOOPBACK, freebsd::IFF_LOOPBACK},
        {IFF_POINTOPOINT, freebsd::IFF_POINTOPOINT},
        {IFF_NOARP, freebsd::IFF_NOARP},
        {IFF_PROMISC, freebsd::IFF_PROMISC},
        {IFF_ALLMULTI, freebsd::IFF_ALLMULTI},
        {IFF_MULTICAST, freebsd::IFF_MULTICAST},
    };
    unsigned out = 0;
    for (const Pair& pair : kSame) {
        if (host & pair.host) out |= static_cast<unsigned>(pair.freebsd);
    }
    // FreeBSD's running flag is the driver's state, not the link's: a driver
    // sets it once it is initialised and the interface up, whatever the
    // carrier (an up NIC without a cable, an epair whose peer is down, a tap
    // nobody opened). A host interface that is up has been opened by its
    // driver. The host's own IFF_RUNNING follows the carrier, which is what
    // FreeBSD's layer-3 tun means by it: running while a program holds it
    // open (the host's tun has carrier exactly then).
    const unsigned running = hw_type == ARPHRD_NONE ? IFF_RUNNING : IFF_UP;
    if (host & running) out |= static_cast<unsigned>(freebsd::IFF_RUNNING);
    return out;
}

std::uint8_t freebsd_if_type(unsigned short hw_type) {
    switch (hw_type) {
        case ARPHRD_ETHER:
            return freebsd::IFT_ETHER;
        case ARPHRD_LOOPBACK:
            return freebsd::IFT_LOOP;
        case ARPHRD_PPP:
            return freebsd::IFT_PPP;
        case ARPHRD_TUNNEL:
        case ARPHRD_TUNNEL6:
        case ARPHRD_SIT:
        case ARPHRD_IPGRE:
            return freebsd::IFT_TUNNEL;
        default:
            return freebsd::IFT_OTHER;
    }
}

std::uint8_t freebsd_hw_len(const HostLink& link) {
    return link.hw_type == ARPHRD_LOOPBACK ? 0 : link.hw_len;
}

std::size_t link_sockaddr_size(const HostLink& link) {
    return std::max<std::size_t>(sizeof(freebsd::sockaddr_dl), offsetof(freebsd::sockaddr_dl, sdl_data) +
                                                                   link.name_len + freebsd_hw_len(link));
}

void write_link_sockaddr(const HostLink& link, void* out) {
    const std::size_t size = link_sockaddr_size(link);
    std::memset(out, 0, size);
    auto* sdl = static_cast<freebsd::sockaddr_dl*>(out);
    sdl->sdl_len = static_cast<std::uint8_t>(size);
    sdl->sdl_family = bsd::kAfLink;
    sdl->sdl_index = static_cast<std::uint16_t>(link.index);
    sdl->sdl_type = freebsd_if_type(link.hw_type);
    sdl->sdl_nlen = link.name_len;
    sdl->sdl_alen = freebsd_hw_len(link);
    // Written through the byte pointer: name and address may run past the
    // structure's own 46 bytes, into the room the caller sized.
    auto* data = static_cast<char*>(out) + offsetof(freebsd::sockaddr_dl, sdl_data);
    std::memcpy(data, link.name, link.name_len);
    std::memcpy(data + link.name_len, link.hw, sdl->sdl_alen);
}

std::size_t write_inet_sockaddr(bool inet6, const std::uint8_t* bytes, unsigned scope_index, void* out) {
    if (!inet6) {
        freebsd::sockaddr_in sin{};
        sin.sin_len = sizeof sin;
        sin.sin_family = bsd::kAfInet;
        std::memcpy(&sin.sin_addr, bytes, 4);
        std::memcpy(out, &sin, sizeof sin);
        return sizeof sin;
    }
    freebsd::sockaddr_in6 sin6{};
    sin6.sin6_len = sizeof sin6;
    sin6.sin6_family = bsd::kAfInet6;
    std::memcpy(&sin6.sin6_addr, bytes, 16);
    // Link-local unicast (fe80::/10) and link-local multicast (ff02::/16)
    // carry their interface as the scope.
    const bool link_local =
        (bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80) || (bytes[0] == 0xff && (bytes[1] & 0x0f) == 0x2);
    if (link_local) sin6.sin6_scope_id = scope_index;
    std::memcpy(out, &sin6, sizeof sin6);
    return sizeof sin6;
}

std::size_t write_netmask_sockaddr(bool inet6, unsigned prefix_len, void* out) {
    std::uint8_t mask[16] = {};
    const unsigned bits = std::min(prefix_len, inet6 ? 128u : 32u);
    for (unsigned i = 0; i < bits; ++i) mask[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
    return write_inet_sockaddr(inet6, mask, 0, out);
}

}  // namespace compat
