// Floors of the interface functions: the rtnetlink dumps behind the interface
// list, and the host requests behind one interface's flags, MTU and media.
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "floor.h"

namespace {

// One dump request, its answers received and their messages counted.
template <typename Body>
long dump(int type) {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    struct {
        nlmsghdr header;
        Body body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = static_cast<unsigned short>(type);
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    static char buf[1 << 16];
    long messages = 0;
    for (bool done = false; !done;) {
        ssize_t got = recv(fd, buf, sizeof buf, 0);
        if (got <= 0) break;
        // NLMSG_OK compares the length with the header's unsigned nlmsg_len.
        auto left = static_cast<unsigned int>(got);
        for (auto* msg = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(msg, left); msg = NLMSG_NEXT(msg, left)) {
            if (msg->nlmsg_type == NLMSG_DONE || msg->nlmsg_type == NLMSG_ERROR) done = true;
            ++messages;
        }
    }
    close(fd);
    return messages;
}

// A datagram socket, one request about the named interface, the close.
void one_request(const floor_bench::Args& args, unsigned long request) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq req{};
    std::strncpy(req.ifr_name, args.at(0).c_str(), IFNAMSIZ - 1);
    floor_bench::keep(ioctl(fd, request, &req));
    floor_bench::keep(req);
    close(fd);
}

long read_small(const std::string& path) {
    char buf[64];
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    floor_bench::keep(buf);
    return n;
}

}  // namespace

NORVIK_FLOOR_CASE(link_and_address_dumps, "rtnetlink_link_addr_dumps") {
    floor_bench::keep(dump<ifinfomsg>(RTM_GETLINK) + dump<ifaddrmsg>(RTM_GETADDR));
}

NORVIK_FLOOR_CASE(if_flags_request, "ioctl_flags") { one_request(args, SIOCGIFFLAGS); }

NORVIK_FLOOR_CASE(if_mtu_request, "ioctl_mtu") { one_request(args, SIOCGIFMTU); }

// The name of the interface's driver, which tells its kind.
void driver_info(const floor_bench::Args& args) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    ifreq req{};
    std::strncpy(req.ifr_name, args.at(0).c_str(), IFNAMSIZ - 1);
    req.ifr_data = reinterpret_cast<char*>(&info);
    floor_bench::keep(ioctl(fd, SIOCETHTOOL, &req));
    floor_bench::keep(info);
    close(fd);
}

// The media answer: the interface's existence, its driver's kind, then its
// link settings.
NORVIK_FLOOR_CASE(if_media_reads, "media_reads") {
    one_request(args, SIOCGIFINDEX);
    driver_info(args);
    const std::string base = "/sys/class/net/" + args.at(0) + "/";
    floor_bench::keep(read_small(base + "speed") + read_small(base + "duplex") +
                      read_small(base + "carrier"));
}

NORVIK_FLOOR_CASE(link_dump, "rtnetlink_link_dump") { floor_bench::keep(dump<ifinfomsg>(RTM_GETLINK)); }
NORVIK_FLOOR_CASE(addr_dump, "rtnetlink_addr_dump") { floor_bench::keep(dump<ifaddrmsg>(RTM_GETADDR)); }
