// The socket tables from sock_diag netlink against the host's /proc/net text,
// on live sockets the test makes: every field of every row of ours, and
// their order, must come out the same from both.
//
// The stand-in's declarations come before the host's headers, whose macros
// would otherwise rewrite FreeBSD names.
#include "linux/host_sockets.h"
#include "linux/netlink_sockets.h"

// The host's own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using compat::Fd;
using compat::HostSocket;

std::uint64_t inode_of(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

// Sockets of every kind the lists show, held open for the test.
class LiveSockets {
public:
    LiveSockets() {
        // TCP over IPv4: a listener, a connection (data left unread on the
        // accepting side), and an IPv6 socket connected to it through an
        // IPv4-mapped address.
        const int listener = tcp_listener(AF_INET);
        const int client = connect_to(AF_INET, listener);
        const int accepted = keep(::accept(listener, nullptr, nullptr));
        EXPECT_EQ(::write(client, "queued", 6), 6);
        const int mapped = connect_to(AF_INET6, listener, true);
        keep(::accept(listener, nullptr, nullptr));
        // TCP over IPv6: a listener and a connection over ::1.
        const int listener6 = tcp_listener(AF_INET6);
        connect_to(AF_INET6, listener6);
        keep(::accept(listener6, nullptr, nullptr));
        (void)accepted;
        (void)mapped;
        // UDP: bound, connected, and with a datagram waiting.
        const int udp = udp_socket(AF_INET);
        const int udp_peer = udp_socket(AF_INET);
        sockaddr_storage at{};
        socklen_t len = sizeof at;
        ::getsockname(udp, reinterpret_cast<sockaddr*>(&at), &len);
        EXPECT_EQ(::connect(udp_peer, reinterpret_cast<sockaddr*>(&at), len), 0);
        EXPECT_EQ(::send(udp_peer, "datagram", 8, 0), 8);
        udp_socket(AF_INET6);
        // Unix: a bound listener and its connection, an abstract name, a
        // pair of each type, a bound datagram socket.
        path_ = "/tmp/norvik-sources-" + std::to_string(::getpid());
        ::unlink(path_.c_str());
        const int unix_listener = unix_socket(SOCK_STREAM, path_, false);
        EXPECT_EQ(::listen(unix_listener, 4), 0);
        const int unix_client = keep(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un sun = unix_address(path_, false);
        EXPECT_EQ(::connect(unix_client, reinterpret_cast<sockaddr*>(&sun), sizeof sun), 0);
        keep(::accept(unix_listener, nullptr, nullptr));
        unix_socket(SOCK_DGRAM, "norvik-sources-" + std::to_string(::getpid()), true);
        unix_socket(SOCK_DGRAM, path_ + "-dgram", false);
        for (int type : {SOCK_STREAM, SOCK_DGRAM, SOCK_SEQPACKET}) {
            int pair[2];
            EXPECT_EQ(::socketpair(AF_UNIX, type, 0, pair), 0);
            keep(pair[0]);
            keep(pair[1]);
        }
    }
    ~LiveSockets() {
        ::unlink(path_.c_str());
        ::unlink((path_ + "-dgram").c_str());
    }
    const std::set<std::uint64_t>& inodes() const { return inodes_; }

private:
    int keep(int fd) {
        EXPECT_GE(fd, 0);
        inodes_.insert(inode_of(fd));
        fds_.emplace_back(fd);
        return fd;
    }
    int tcp_listener(int family) {
        const int fd = keep(::socket(family, SOCK_STREAM, 0));
        sockaddr_storage at = loopback(family);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&at), size_of(family)), 0);
        EXPECT_EQ(::listen(fd, 8), 0);
        return fd;
    }
    // Connects a new socket of the family to the listener's port; through
    // ::ffff:127.0.0.1 when mapped.
    int connect_to(int family, int listener, bool mapped = false) {
        sockaddr_storage at{};
        socklen_t len = sizeof at;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &len);
        const std::uint16_t port = reinterpret_cast<sockaddr_in&>(at).sin_port;  // same place in both
        sockaddr_storage to = loopback(family);
        if (mapped) {
            auto& sin6 = reinterpret_cast<sockaddr_in6&>(to);
            inet_pton(AF_INET6, "::ffff:127.0.0.1", &sin6.sin6_addr);
        }
        reinterpret_cast<sockaddr_in&>(to).sin_port = port;
        const int fd = keep(::socket(family, SOCK_STREAM, 0));
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), size_of(family)), 0);
        return fd;
    }
    int udp_socket(int family) {
        const int fd = keep(::socket(family, SOCK_DGRAM, 0));
        sockaddr_storage at = loopback(family);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&at), size_of(family)), 0);
        return fd;
    }
    int unix_socket(int type, const std::string& name, bool abstract) {
        const int fd = keep(::socket(AF_UNIX, type, 0));
        sockaddr_un sun = unix_address(name, abstract);
        const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sun), len), 0);
        return fd;
    }
    static sockaddr_un unix_address(const std::string& name, bool abstract) {
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        std::memcpy(sun.sun_path + (abstract ? 1 : 0), name.data(), name.size());
        return sun;
    }
    static sockaddr_storage loopback(int family) {
        sockaddr_storage at{};
        if (family == AF_INET) {
            auto& sin = reinterpret_cast<sockaddr_in&>(at);
            sin.sin_family = AF_INET;
            sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        } else {
            auto& sin6 = reinterpret_cast<sockaddr_in6&>(at);
            sin6.sin6_family = AF_INET6;
            sin6.sin6_addr = in6addr_loopback;
        }
        return at;
    }
    static socklen_t size_of(int family) {
        return family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    }

    std::vector<Fd> fds_;
    std::set<std::uint64_t> inodes_;
    std::string path_;
};

// One row's fields, comparable as a whole.
std::string fields(const HostSocket& row) {
    char head[160];
    std::snprintf(head, sizeof head,
                  "inode %llu domain %d type %d protocol %d state %d uid %u sendq %u recvq %u ",
                  static_cast<unsigned long long>(row.inode), row.domain, row.type, row.protocol,
                  row.host_state, row.uid, row.sendq, row.recvq);
    std::string text(head);
    for (const auto* addr : {&row.local, &row.peer}) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(addr);
        for (std::size_t i = 0; i < sizeof *addr; ++i) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
            text += hex;
        }
        text += ' ';
    }
    return text;
}

using Rows = std::vector<std::string>;

// The rows of ours among a table's, in table order.
Rows ours(const LiveSockets& sockets, const std::vector<HostSocket>& rows) {
    Rows out;
    for (const HostSocket& row : rows)
        if (sockets.inodes().count(row.inode) != 0) out.push_back(fields(row));
    return out;
}

std::vector<HostSocket> from_text(int proc, const char* name) {
    const compat::InetTable* table = nullptr;
    for (const compat::InetTable& t : compat::inet_tables())
        if (std::strcmp(t.name, name) == 0) table = &t;
    std::vector<HostSocket> rows;
    HostSocket row;
    EXPECT_EQ(compat::for_each_table_row(proc, name,
                                         [&](std::string_view line) {
                                             if (table != nullptr ? compat::parse_inet_row(line, *table, row)
                                                                  : compat::parse_unix_row(line, row))
                                                 rows.push_back(row);
                                             return true;
                                         }),
              0)
        << name;
    return rows;
}

TEST(SocketSources, NetlinkRowsAreTheTextRows) {
    if (compat::diag_dump_unix([](const compat::DiagUnix&) { return false; }) == compat::kDiagAbsent)
        GTEST_SKIP() << "no sock_diag netlink on this host";
    LiveSockets sockets;
    Fd proc = compat::open_host("proc", O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(proc.valid());
    struct Case {
        std::vector<const char*> tables;
        std::size_t least;  // rows of ours the tables must hold
    };
    const Case cases[] = {
        {{"net/tcp"}, 4}, {{"net/tcp6"}, 4}, {{"net/tcp", "net/tcp6"}, 8},
        {{"net/udp"}, 2}, {{"net/udp6"}, 1}, {{"net/unix"}, 11},
    };
    for (const Case& c : cases) {
        std::vector<HostSocket> text, netlink;
        for (const char* name : c.tables) {
            const std::vector<HostSocket> rows = from_text(proc.get(), name);
            text.insert(text.end(), rows.begin(), rows.end());
        }
        ASSERT_EQ(compat::for_each_socket(proc.get(), std::span(c.tables),
                                          [&](const HostSocket& row) {
                                              netlink.push_back(row);
                                              return true;
                                          }),
                  0);
        const Rows want = ours(sockets, text);
        EXPECT_GE(want.size(), c.least) << c.tables[0];
        EXPECT_EQ(ours(sockets, netlink), want) << c.tables[0];
    }
}

// A process's tables come from netlink when it shares the caller's network,
// with the same rows as its text tables.
TEST(SocketSources, AProcesssTablesAreItsTextTables) {
    LiveSockets sockets;
    Fd self = compat::open_host("proc/self", O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(self.valid());
    for (const char* name : {"net/tcp", "net/tcp6", "net/udp", "net/unix"}) {
        std::vector<HostSocket> rows;
        ASSERT_EQ(compat::for_each_process_socket(self.get(), name,
                                                  [&](const HostSocket& row) {
                                                      rows.push_back(row);
                                                      return true;
                                                  }),
                  0);
        EXPECT_EQ(ours(sockets, rows), ours(sockets, from_text(self.get(), name))) << name;
    }
}

// Makes socket(AF_NETLINK, ...) of this process fail with err.
bool refuse_netlink_sockets(int err) {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(err)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A netlink socket the host refuses for want of resources fails the read
// with that errno, never answered shorter nor from the text; one the host
// does not have, or does not allow this process, leaves the text to answer.
TEST(SocketSources, ANetlinkFailureFailsTheReadWithItsErrno) {
    LiveSockets sockets;
    struct Case {
        int refusal;
        int outcome;  // of each read
        bool rows;    // whether rows of ours are handed over
    };
    for (const Case& c : {Case{ENOMEM, ENOMEM, false}, Case{ENOBUFS, ENOBUFS, false},
                          Case{EAFNOSUPPORT, 0, true}, Case{EPERM, 0, true}}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Fd proc = compat::open_host("proc", O_RDONLY | O_DIRECTORY);
            if (!refuse_netlink_sockets(c.refusal)) ::_exit(3);
            bool ours_seen = false;
            const auto look = [&](const HostSocket& row) {
                ours_seen = ours_seen || sockets.inodes().count(row.inode) != 0;
                return true;
            };
            const char* tcp[] = {"net/tcp", "net/tcp6"};
            const char* udp[] = {"net/udp"};
            const char* unix_table[] = {"net/unix"};
            using Tables = std::span<const char* const>;
            for (Tables tables : {Tables(tcp), Tables(udp), Tables(unix_table)}) {
                ours_seen = false;
                if (compat::for_each_socket(proc.get(), tables, look) != c.outcome) ::_exit(1);
                if (ours_seen != c.rows) ::_exit(2);
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "refused with " << c.refusal
                                          << " (1: another outcome; 2: rows of ours or none; 3: no seccomp)";
    }
}

}  // namespace
