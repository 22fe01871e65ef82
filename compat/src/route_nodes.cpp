// net.routetable: the interface list as FreeBSD's routing messages, built
// from the host's rtnetlink snapshot.
#include "freebsd/net/if.h"
#include "freebsd/net/if_dl.h"
#include "freebsd/net/route.h"
#include "freebsd/sys/socket.h"

#include <cerrno>
#include <cstring>

#include "host_interfaces.h"
#include "nodes.h"

namespace compat {
namespace {

using namespace freebsd;

// Room a socket address takes in a routing message: its length rounded up
// to a multiple of 8, and 8 for an empty one.
std::size_t sa_size(std::size_t len) { return len == 0 ? 8 : (len + 7) & ~std::size_t{7}; }

std::uint8_t link_state(std::uint8_t operstate) {
    constexpr std::uint8_t kOperDown = 2;           // IF_OPER_DOWN
    constexpr std::uint8_t kOperLowerLayerDown = 3;  // IF_OPER_LOWERLAYERDOWN
    constexpr std::uint8_t kOperUp = 6;              // IF_OPER_UP
    if (operstate == kOperUp) return LINK_STATE_UP;
    if (operstate == kOperDown || operstate == kOperLowerLayerDown) return LINK_STATE_DOWN;
    return LINK_STATE_UNKNOWN;
}

void append_link_message(const HostLink& link, std::string& out) {
    const std::size_t sdl_len = link_sockaddr_size(link);
    if_msghdr header{};
    header.ifm_msglen = static_cast<std::uint16_t>(sizeof header + sa_size(sdl_len));
    header.ifm_version = RTM_VERSION;
    header.ifm_type = RTM_IFINFO;
    header.ifm_addrs = RTA_IFP;
    header.ifm_flags = static_cast<int>(freebsd_if_flags(link.flags));
    header.ifm_index = static_cast<std::uint16_t>(link.index);
    if_data& data = header.ifm_data;
    data.ifi_type = freebsd_if_type(link.hw_type);
    data.ifi_addrlen = freebsd_hw_len(link);
    data.ifi_link_state = link_state(link.operstate);
    data.ifi_datalen = sizeof(if_data);
    data.ifi_mtu = link.mtu;
    const LinkCounters& c = link.counters;
    data.ifi_ipackets = c.rx_packets;
    data.ifi_ierrors = c.rx_errors;
    data.ifi_opackets = c.tx_packets;
    data.ifi_oerrors = c.tx_errors;
    data.ifi_collisions = c.collisions;
    data.ifi_ibytes = c.rx_bytes;
    data.ifi_obytes = c.tx_bytes;
    data.ifi_imcasts = c.multicast;
    data.ifi_iqdrops = c.rx_dropped;
    data.ifi_oqdrops = c.tx_dropped;
    data.ifi_noproto = c.rx_nohandler;
    append_value(out, header);
    const std::size_t at = out.size();
    out.resize(at + sa_size(sdl_len));
    write_link_sockaddr(link, out.data() + at);
}

// One socket address of an address message, in its rounded room.
template <typename Write>
void append_sockaddr(std::string& out, Write write) {
    char storage[sizeof(sockaddr_in6)];
    const std::size_t len = write(storage);
    const std::size_t at = out.size();
    out.resize(at + sa_size(len));
    std::memcpy(out.data() + at, storage, len);
}

void append_addr_message(const HostLink& link, const HostAddr& addr, std::string& out) {
    const std::size_t at = out.size();
    ifa_msghdr header{};
    header.ifam_version = RTM_VERSION;
    header.ifam_type = RTM_NEWADDR;
    header.ifam_addrs = RTA_NETMASK | RTA_IFA | (addr.has_broadcast || addr.has_peer ? RTA_BRD : 0);
    header.ifam_flags = static_cast<int>(freebsd_if_flags(link.flags));
    header.ifam_index = static_cast<std::uint16_t>(link.index);
    append_value(out, header);
    const unsigned scope = static_cast<unsigned>(link.index);
    append_sockaddr(out, [&](void* p) { return write_netmask_sockaddr(addr.inet6, addr.prefix_len, p); });
    append_sockaddr(out, [&](void* p) { return write_inet_sockaddr(addr.inet6, addr.local, scope, p); });
    if (addr.has_broadcast || addr.has_peer) {
        const std::uint8_t* other = addr.has_broadcast ? addr.broadcast : addr.peer;
        append_sockaddr(out, [&](void* p) { return write_inet_sockaddr(addr.inet6, other, scope, p); });
    }
    const auto length = static_cast<std::uint16_t>(out.size() - at);
    std::memcpy(out.data() + at + offsetof(ifa_msghdr, ifam_msglen), &length, sizeof length);
}

}  // namespace

// Per-call integers: protocol (0), address family (0 for all), request,
// interface index (0 for all).
int read_route_table(NodeArgs args, std::string& out) {
    const int protocol = args[0];
    const int family = args[1];
    const int request = args[2];
    const int index = args[3];
    if (protocol != 0) return EINVAL;
    if (request != NET_RT_IFLIST) return EOPNOTSUPP;
    if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) return EAFNOSUPPORT;
    HostInterfaces host;
    if (int err = read_host_interfaces(host); err != 0) return err;
    for (const HostLink& link : host.links) {
        if (index != 0 && link.index != index) continue;
        append_link_message(link, out);
        for (std::size_t i = link.addr_begin; i < link.addr_end; ++i) {
            const HostAddr& addr = host.addrs[i];
            if (family == AF_INET && addr.inet6) continue;
            if (family == AF_INET6 && !addr.inet6) continue;
            append_addr_message(link, addr, out);
        }
    }
    return 0;
}

}  // namespace compat
