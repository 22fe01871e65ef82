// getifaddrs(3) and freeifaddrs(3) in FreeBSD's form. Like FreeBSD's, the
// list, its names and its socket addresses live in one allocation that
// freeifaddrs releases with free().
//
// Per interface: its AF_LINK entry (name and hardware address, with the
// interface's struct if_data), then an entry per IPv4 and IPv6 address,
// each with its netmask and its broadcast or point-to-point peer address.
//
// Scripted answer: records back to back, each the name (16 bytes), the
// FreeBSD flags (4 bytes), three lengths (address, netmask, destination; 0
// for none) and a pad byte, then those socket addresses' bytes.
#include "freebsd/ifaddrs.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "entry.h"
#include "freebsd/net/if.h"
#include "linux/host_interfaces.h"
#include "script/script.h"

namespace compat {
namespace {

using freebsd::ifaddrs;

struct Pending {
    std::string_view name;
    unsigned flags = 0;
    std::string addr, netmask, dst, data;  // empty: none
};

std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

// Socket addresses get at least a sockaddr_storage of room: a reader may
// take the family's full length whatever the address's own length says.
std::size_t room(const std::string& bytes) {
    return bytes.empty() ? 0 : align8(std::max(bytes.size(), sizeof(freebsd::sockaddr_storage)));
}

// Lays the entries out in one zeroed allocation. Returns NULL when it fails.
ifaddrs* pack(const std::vector<Pending>& entries) {
    std::size_t size = 0;
    for (const Pending& e : entries) {
        size += sizeof(ifaddrs) + align8(e.name.size() + 1) + room(e.addr) + room(e.netmask) + room(e.dst) +
                align8(e.data.size());
    }
    if (entries.empty()) return nullptr;
    char* block = static_cast<char*>(std::calloc(1, size));
    if (block == nullptr) return nullptr;
    char* cursor = block;
    auto take = [&](std::size_t n) {
        char* at = cursor;
        cursor += n;
        return at;
    };
    auto place = [&](const std::string& bytes, std::size_t space) -> char* {
        if (bytes.empty()) return nullptr;
        char* at = take(space);
        std::memcpy(at, bytes.data(), bytes.size());
        return at;
    };
    ifaddrs* previous = nullptr;
    for (const Pending& e : entries) {
        auto* entry = reinterpret_cast<ifaddrs*>(take(sizeof(ifaddrs)));
        if (previous != nullptr) previous->ifa_next = entry;
        previous = entry;
        entry->ifa_name = take(align8(e.name.size() + 1));
        std::memcpy(entry->ifa_name, e.name.data(), e.name.size());
        entry->ifa_flags = e.flags;
        entry->ifa_addr = reinterpret_cast<freebsd::sockaddr*>(place(e.addr, room(e.addr)));
        entry->ifa_netmask = reinterpret_cast<freebsd::sockaddr*>(place(e.netmask, room(e.netmask)));
        entry->ifa_dstaddr = reinterpret_cast<freebsd::sockaddr*>(place(e.dst, room(e.dst)));
        entry->ifa_data = place(e.data, align8(e.data.size()));
    }
    return reinterpret_cast<ifaddrs*>(block);
}

template <typename Write>
std::string sockaddr_bytes(std::size_t size, Write write) {
    std::string bytes(size, '\0');
    bytes.resize(write(bytes.data()));
    return bytes;
}

void add_host_entries(const HostInterfaces& host, std::vector<Pending>& out) {
    for (const HostLink& link : host.links) {
        const unsigned flags = freebsd_if_flags(link.flags, link.hw_type);
        Pending entry;
        entry.name = std::string_view(link.name, link.name_len);
        entry.flags = flags;
        entry.addr.resize(link_sockaddr_size(link));
        write_link_sockaddr(link, entry.addr.data());
        freebsd::if_data data{};
        data.ifi_datalen = sizeof data;
        data.ifi_mtu = link.mtu;
        data.ifi_type = freebsd_if_type(link.hw_type);
        data.ifi_addrlen = freebsd_hw_len(link);
        data.ifi_ipackets = link.counters.rx_packets;
        data.ifi_opackets = link.counters.tx_packets;
        data.ifi_ibytes = link.counters.rx_bytes;
        data.ifi_obytes = link.counters.tx_bytes;
        entry.data.assign(reinterpret_cast<const char*>(&data), sizeof data);
        out.push_back(std::move(entry));
        const unsigned scope = static_cast<unsigned>(link.index);
        for (std::size_t i = link.addr_begin; i < link.addr_end; ++i) {
            const HostAddr& a = host.addrs[i];
            Pending address;
            address.name = std::string_view(link.name, link.name_len);
            address.flags = flags;
            constexpr std::size_t kMax = sizeof(freebsd::sockaddr_in6);
            address.addr = sockaddr_bytes(
                kMax, [&](void* p) { return write_inet_sockaddr(a.inet6, a.local, scope, p); });
            address.netmask = sockaddr_bytes(
                kMax, [&](void* p) { return write_netmask_sockaddr(a.inet6, a.prefix_len, p); });
            // FreeBSD's one destination field: the broadcast address where the
            // interface broadcasts, else the point-to-point peer.
            const std::uint8_t* other = a.has_broadcast ? a.broadcast : a.has_peer ? a.peer : nullptr;
            if (other != nullptr)
                address.dst = sockaddr_bytes(
                    kMax, [&](void* p) { return write_inet_sockaddr(a.inet6, other, scope, p); });
            out.push_back(std::move(address));
        }
    }
}

// Reads the scripted records; false when they are malformed.
bool add_scripted_entries(std::string_view bytes, std::vector<Pending>& out) {
    constexpr std::size_t kHead = 16 + 4 + 4;
    while (!bytes.empty()) {
        if (bytes.size() < kHead) return false;
        Pending entry;
        entry.name = std::string_view(bytes.data(), strnlen(bytes.data(), 16));
        std::memcpy(&entry.flags, bytes.data() + 16, 4);
        const auto len = [&](int i) { return static_cast<std::uint8_t>(bytes[20 + i]); };
        const std::size_t total = kHead + len(0) + len(1) + len(2);
        if (bytes.size() < total) return false;
        std::size_t at = kHead;
        std::string* fields[] = {&entry.addr, &entry.netmask, &entry.dst};
        for (int i = 0; i < 3; ++i) {
            fields[i]->assign(bytes.data() + at, len(i));
            at += len(i);
        }
        out.push_back(std::move(entry));
        bytes.remove_prefix(total);
    }
    return true;
}

}  // namespace
}  // namespace compat

namespace freebsd {

int getifaddrs(ifaddrs** ifap) {
    return compat::guarded_call(-1, [&] {
        if (ifap == nullptr) {
            errno = EINVAL;
            return -1;
        }
        *ifap = nullptr;
        auto outcome = compat::script::consult("getifaddrs", compat::script::Kind::call);
        if (outcome.fail) {
            errno = outcome.err;
            return -1;
        }
        std::vector<compat::Pending> entries;
        compat::HostInterfaces host;  // the names point into it until the pack
        if (outcome.answer != nullptr) {
            if (!compat::add_scripted_entries(*outcome.answer, entries)) {
                errno = EINVAL;
                return -1;
            }
        } else {
            if (int err = compat::read_host_interfaces(host); err != 0) {
                errno = err;
                return -1;
            }
            compat::add_host_entries(host, entries);
        }
        if (entries.empty()) return 0;
        *ifap = compat::pack(entries);
        if (*ifap == nullptr) {
            errno = ENOMEM;
            return -1;
        }
        return 0;
    });
}

void freeifaddrs(ifaddrs* ifp) { std::free(ifp); }

}  // namespace freebsd
