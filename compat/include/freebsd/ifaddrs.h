// getifaddrs(3) in FreeBSD's form: socket addresses with sa_len and FreeBSD's
// families, an AF_LINK entry per interface, FreeBSD's IFF_* bits.
#pragma once

#include "freebsd/sys/socket.h"

namespace freebsd {

struct ifaddrs {
    ifaddrs* ifa_next;
    char* ifa_name;
    unsigned int ifa_flags;
    sockaddr* ifa_addr;
    sockaddr* ifa_netmask;
    sockaddr* ifa_dstaddr;  // also the broadcast address (ifa_broadaddr)
    void* ifa_data;         // AF_LINK entries: the interface's struct if_data
};
static_assert(sizeof(ifaddrs) == 56);

int getifaddrs(ifaddrs** ifap);
void freeifaddrs(ifaddrs* ifp);

}  // namespace freebsd
