// The host's interfaces and their addresses, as one rtnetlink snapshot, and
// the FreeBSD forms the stand-in's answers share: flags, link-level and
// internet socket addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace compat {

// Traffic counters of one interface (rtnetlink's 64-bit statistics).
struct LinkCounters {
    std::uint64_t rx_packets, tx_packets, rx_bytes, tx_bytes;
    std::uint64_t rx_errors, tx_errors, rx_dropped, tx_dropped;
    std::uint64_t multicast, collisions, rx_nohandler;
};

struct HostLink {
    int index = 0;
    unsigned short hw_type = 0;  // the host's ARPHRD_* number
    unsigned flags = 0;          // the host's IFF_* bits
    unsigned mtu = 0;
    std::uint8_t operstate = 0;  // the host's IF_OPER_* number
    std::uint8_t name_len = 0;
    std::uint8_t hw_len = 0;
    char name[16] = {};
    std::uint8_t hw[32] = {};
    LinkCounters counters = {};
    std::size_t addr_begin = 0;  // this link's addresses in HostInterfaces::addrs
    std::size_t addr_end = 0;
};

struct HostAddr {
    int index = 0;
    bool inet6 = false;
    std::uint8_t prefix_len = 0;
    std::uint32_t flags = 0;  // the host's IFA_F_* bits
    // The interface's own address, its point-to-point peer (if any) and its
    // broadcast address (if any); 4 or 16 bytes each.
    std::uint8_t local[16] = {};
    std::uint8_t peer[16] = {};
    std::uint8_t broadcast[16] = {};
    bool has_peer = false;
    bool has_broadcast = false;
};

// Every link in the host's order, each followed (through its range) by its
// addresses, IPv4 before IPv6, in the host's order within a family.
struct HostInterfaces {
    std::vector<HostLink> links;
    std::vector<HostAddr> addrs;
};

// Reads the snapshot with two rtnetlink dumps. Returns 0 or an errno.
int read_host_interfaces(HostInterfaces& out);

// The cheaper questions behind a size answer: every address (one dump), and
// how many links there are (the statistics dump, which carries no more than
// an index per link). index: one link only, or 0 for all. Each returns 0 or
// an errno.
int read_host_addrs(std::vector<HostAddr>& out);
int count_host_links(int index, std::size_t& count);

// The host's IFF_* bits in FreeBSD's, for a link of the host's hardware type:
// the bits that mean the same move (the multicast bit to its own place);
// running is the driver's state (up), except for a layer-3 tun, whose driver
// runs while it is held open (the host's carrier); the rest have no FreeBSD
// counterpart.
unsigned freebsd_if_flags(unsigned host_flags, unsigned short hw_type);

// FreeBSD's interface type (IFT_*) for the host's hardware type.
std::uint8_t freebsd_if_type(unsigned short hw_type);

// Length of the hardware address FreeBSD reports: none for the loopback.
std::uint8_t freebsd_hw_len(const HostLink& link);

// Writes the link's FreeBSD sockaddr_dl (name and hardware address) at out,
// which has room for link_sockaddr_size(link) bytes. Returns its sdl_len.
std::size_t link_sockaddr_size(const HostLink& link);
void write_link_sockaddr(const HostLink& link, void* out);

// Writes a FreeBSD sockaddr_in or sockaddr_in6 (16 or 28 bytes, by family)
// for an address of the link; scope_index: the interface index for a
// link-local IPv6 address. Returns its length.
std::size_t write_inet_sockaddr(bool inet6, const std::uint8_t* bytes, unsigned scope_index, void* out);
// The netmask of a prefix length, as a socket address of the family.
std::size_t write_netmask_sockaddr(bool inet6, unsigned prefix_len, void* out);

}  // namespace compat
