// net.routetable: the interface list as FreeBSD's routing messages, built
// from the host's rtnetlink snapshot.
#include <cerrno>
#include <cstring>
#include <vector>

#include "freebsd/net/if.h"
#include "freebsd/net/if_dl.h"
#include "freebsd/net/route.h"
#include "freebsd/sys/socket.h"
#include "linux/host_interfaces.h"
#include "kern/nodes.h"

namespace compat {
namespace {

using namespace freebsd;

// Room a socket address takes in a routing message: its length rounded up
// to a multiple of 8, and 8 for an empty one.
std::size_t sa_size(std::size_t len) { return len == 0 ? 8 : (len + 7) & ~std::size_t{7}; }

// An interface message is the same length whatever the interface: its
// link-level address (a name of at most 15 bytes, a hardware address of at
// most 32) always fits one rounded room of 56 bytes.
constexpr std::size_t kLinkAddressRoom = 56;
constexpr std::size_t kLinkMessageSize = sizeof(if_msghdr) + kLinkAddressRoom;
static_assert(offsetof(sockaddr_dl, sdl_data) + sizeof(HostLink::name) - 1 + sizeof(HostLink::hw) <=
              kLinkAddressRoom);

std::uint8_t link_state(std::uint8_t operstate) {
    constexpr std::uint8_t kOperDown = 2;            // IF_OPER_DOWN
    constexpr std::uint8_t kOperLowerLayerDown = 3;  // IF_OPER_LOWERLAYERDOWN
    constexpr std::uint8_t kOperUp = 6;              // IF_OPER_UP
    if (operstate == kOperUp) return LINK_STATE_UP;
    if (operstate == kOperDown || operstate == kOperLowerLayerDown) return LINK_STATE_DOWN;
    return LINK_STATE_UNKNOWN;
}

void append_link_message(const HostLink& link, std::string& out) {
    if_msghdr header{};
    header.ifm_msglen = kLinkMessageSize;
    header.ifm_version = RTM_VERSION;
    header.ifm_type = RTM_IFINFO;
    header.ifm_addrs = RTA_IFP;
    header.ifm_flags = static_cast<int>(freebsd_if_flags(link.flags, link.hw_type));
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
    out.resize(at + kLinkAddressRoom);
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

// The length of an address message, and whether it is in the answer.
std::size_t addr_message_size(const HostAddr& addr) {
    const std::size_t one = sa_size(addr.inet6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    return sizeof(ifa_msghdr) + one * (addr.has_broadcast || addr.has_peer ? 3 : 2);
}

bool wanted(const HostAddr& addr, int family, int index) {
    if (index != 0 && addr.index != index) return false;
    return family == AF_UNSPEC || (family == AF_INET6) == addr.inet6;
}

// The request a node call names: 0, or the errno of one the kernel refuses.
int check_request(NodeArgs args) {
    const int family = args[1];
    if (args[0] != 0) return EINVAL;
    if (args[2] != NET_RT_IFLIST) return EOPNOTSUPP;
    if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) return EAFNOSUPPORT;
    return 0;
}

void append_addr_message(const HostLink& link, const HostAddr& addr, std::string& out) {
    ifa_msghdr header{};
    header.ifam_msglen = static_cast<std::uint16_t>(addr_message_size(addr));
    header.ifam_version = RTM_VERSION;
    header.ifam_type = RTM_NEWADDR;
    header.ifam_addrs = RTA_NETMASK | RTA_IFA | (addr.has_broadcast || addr.has_peer ? RTA_BRD : 0);
    header.ifam_flags = static_cast<int>(freebsd_if_flags(link.flags, link.hw_type));
    header.ifam_index = static_cast<std::uint16_t>(link.index);
    append_value(out, header);
    const unsigned scope = static_cast<unsigned>(link.index);
    append_sockaddr(out, [&](void* p) { return write_netmask_sockaddr(addr.inet6, addr.prefix_len, p); });
    append_sockaddr(out, [&](void* p) { return write_inet_sockaddr(addr.inet6, addr.local, scope, p); });
    if (addr.has_broadcast || addr.has_peer) {
        const std::uint8_t* other = addr.has_broadcast ? addr.broadcast : addr.peer;
        append_sockaddr(out, [&](void* p) { return write_inet_sockaddr(addr.inet6, other, scope, p); });
    }
}

}  // namespace

// Per-call integers: protocol (0), address family (0 for all), request,
// interface index (0 for all).
int read_route_table(NodeArgs args, std::string& out) {
    if (int err = check_request(args); err != 0) return err;
    HostInterfaces host;
    if (int err = read_host_interfaces(host); err != 0) return err;
    for (const HostLink& link : host.links) {
        if (args[3] != 0 && link.index != args[3]) continue;
        append_link_message(link, out);
        for (std::size_t i = link.addr_begin; i < link.addr_end; ++i) {
            if (wanted(host.addrs[i], args[1], args[3])) append_addr_message(link, host.addrs[i], out);
        }
    }
    return 0;
}

// The size answer from the two cheaper dumps: the kernel's own answer is a
// walk that counts, not one that builds.
int size_route_table(NodeArgs args, std::size_t& size) {
    if (int err = check_request(args); err != 0) return err;
    std::size_t links = 0;
    if (int err = count_host_links(args[3], links); err != 0) return err;
    std::vector<HostAddr> addrs;
    if (int err = read_host_addrs(addrs); err != 0) return err;
    size = links * kLinkMessageSize;
    for (const HostAddr& addr : addrs) {
        if (wanted(addr, args[1], args[3])) size += addr_message_size(addr);
    }
    return 0;
}

}  // namespace compat
