// Floors of the socket listings, the host reads each answer needs done once
// in a serial loop, each table through sock_diag netlink (the host's fastest
// source) in one walk:
//   sockets_all  every descriptor link of every process, and the TCP (both
//                families in one walk), UDP and unix tables;
//   sockets_pid  one process's descriptor links and the TCP table, which
//                gives its TCP sockets' addresses and states, and the unix
//                and UDP tables only while some socket of the process is in
//                none of the tables read so far.
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "floor.h"

namespace {

using Inodes = std::unordered_set<unsigned long>;

// Reads a dump; each record's inode leaves pending when asked. Returns the
// number of records.
template <typename Request>
size_t dump(unsigned short type, const Request& request, size_t inode_at, Inodes* pending) {
    int sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (sock < 0) return 0;
    struct {
        nlmsghdr header;
        Request body;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = type;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.body = request;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    sendto(sock, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    static char buf[64 * 1024];
    size_t records = 0;
    for (bool done = false; !done;) {
        ssize_t got = recv(sock, buf, sizeof buf, 0);
        if (got <= 0) break;
        auto left = static_cast<unsigned>(got);
        for (auto* msg = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(msg, left); msg = NLMSG_NEXT(msg, left)) {
            if (msg->nlmsg_type == NLMSG_DONE || msg->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            ++records;
            if (pending != nullptr) {
                unsigned inode = 0;
                std::memcpy(&inode, static_cast<char*>(NLMSG_DATA(msg)) + inode_at, sizeof inode);
                pending->erase(inode);
            }
        }
    }
    close(sock);
    return records;
}

size_t tcp_table(Inodes* pending) {
    inet_diag_req request{};
    request.idiag_states = ~0U;
    return dump(TCPDIAG_GETSOCK, request, offsetof(inet_diag_msg, idiag_inode), pending);
}

size_t udp_table(int family, Inodes* pending) {
    inet_diag_req_v2 request{};
    request.sdiag_family = static_cast<unsigned char>(family);
    request.sdiag_protocol = IPPROTO_UDP;
    request.idiag_states = ~0U;
    return dump(SOCK_DIAG_BY_FAMILY, request, offsetof(inet_diag_msg, idiag_inode), pending);
}

size_t unix_table(Inodes* pending) {
    unix_diag_req request{};
    request.sdiag_family = AF_UNIX;
    request.udiag_states = ~0U;
    request.udiag_show = UDIAG_SHOW_NAME;
    return dump(SOCK_DIAG_BY_FAMILY, request, offsetof(unix_diag_msg, udiag_ino), pending);
}

// Reads every descriptor link of a process; the inodes of its sockets go
// into sockets when asked for.
size_t links_of(const char* pid, Inodes* sockets = nullptr) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/fd", pid);
    int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return 0;
    DIR* listing = fdopendir(dup(dir));
    size_t total = 0;
    char target[4097];
    dirent* entry = nullptr;
    while (listing != nullptr && (entry = readdir(listing)) != nullptr) {
        if (entry->d_name[0] == '.') continue;
        ssize_t n = readlinkat(dir, entry->d_name, target, sizeof target - 1);
        if (n <= 0) continue;
        total += static_cast<size_t>(n);
        target[n] = '\0';
        if (sockets != nullptr && std::strncmp(target, "socket:[", 8) == 0)
            sockets->insert(std::strtoul(target + 8, nullptr, 10));
    }
    if (listing != nullptr) closedir(listing);
    close(dir);
    return total;
}

}  // namespace

NORVIK_FLOOR_CASE(sockets_all, "sockets_all") {
    size_t total = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return;
    while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') total += links_of(entry->d_name);
    }
    closedir(proc);
    total +=
        tcp_table(nullptr) + udp_table(AF_INET, nullptr) + udp_table(AF_INET6, nullptr) + unix_table(nullptr);
    floor_bench::keep(total);
}

NORVIK_FLOOR_CASE(sockets_pid, "sockets_pid") {
    Inodes sockets;
    size_t total = links_of(args.at(0).c_str(), &sockets);
    total += tcp_table(&sockets);
    if (!sockets.empty()) total += unix_table(&sockets);
    if (!sockets.empty()) total += udp_table(AF_INET, &sockets) + udp_table(AF_INET6, &sockets);
    floor_bench::keep(total);
}
