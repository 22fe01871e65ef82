// The host's socket tables and descriptor folders, read into FreeBSD's terms
// for every stand-in answer about sockets: a process's descriptor table
// (kinfo_getfile), the system's open-file table (kern.file) and the protocol
// control block lists (net.inet.*.pcblist, net.local.*.pcblist).
//
// Tables, one row per socket of the host's network namespace:
//   net/unix                 Num RefCount Protocol Flags Type St Inode [Path]
//   net/{tcp,udp,raw}[6]     sl local remote st tx:rx tr:when retrnsmt uid timeout inode
// Addresses print each 32-bit word as its value in memory, ports in host order.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "freebsd/sys/socket.h"
#include "linux/host_failure.h"
#include "linux/host_files.h"
#include "linux/host_text.h"

namespace compat {

struct InetTable {
    const char* name;  // relative to a /proc/<pid> or /proc folder
    bool v6;
    int type;      // SOCK_*
    int protocol;  // IPPROTO_*; 0: a raw socket, whose protocol stands where a port would
};

// tcp, tcp6, udp, udp6, raw, raw6, in that order.
std::span<const InetTable> inet_tables();

// One row of a socket table, in FreeBSD's numbers and address layouts.
struct HostSocket {
    std::uint64_t inode = 0;  // 0: no socket behind the row (TIME_WAIT, a request)
    int domain = 0;           // AF_UNIX, AF_INET, AF_INET6
    int type = 0;             // SOCK_*
    int protocol = 0;
    int host_state = 0;  // an inet socket's state in the host's numbers (for TCP, its TCP state)
    std::uint32_t uid = 0;
    std::uint32_t sendq = 0;
    std::uint32_t recvq = 0;
    freebsd::sockaddr_storage local{};  // sockaddr_in, sockaddr_in6 or sockaddr_un
    freebsd::sockaddr_storage peer{};
    // An IPv6 socket that also takes IPv4 (IPV6_V6ONLY off): from sock_diag
    // on the live host; in text tables, which do not say, the host's default
    // for new sockets (net.ipv6.bindv6only 0), and never where that is not
    // shown either.
    bool dual_stack = false;
};

// Parse one table row; false for a row of another shape.
bool parse_inet_row(std::string_view line, const InetTable& table, HostSocket& out);
bool parse_unix_row(std::string_view line, HostSocket& out);

// openat(dir, name, O_RDONLY | O_CLOEXEC).
int open_at(int dir, const char* name);

// Calls fn(line) for every row of a table after its header while fn answers
// true. A table the host does not have (no IPv6, no raw sockets) has no
// rows. Returns 0, or the errno of a table that could not be read whole.
template <typename Fn>
int for_each_table_row(int dir, const char* name, Fn fn) {
    Fd file(open_at(dir, name));
    if (!file.valid()) return skip_if_gone(errno);
    LineReader reader(file.get());
    std::string_view line;
    if (reader.next(line)) {  // the header
        while (reader.next(line)) {
            if (!fn(line)) return 0;
        }
    }
    return reader.error();
}

// The sockets of the caller's own tables, names of inet_tables() or
// "net/unix", one table after the other: fn(row) for each row while fn
// answers true. On the live host (root "/") the TCP, UDP and unix tables
// come from sock_diag netlink, the same rows in the same order without the
// text (both TCP tables from one walk of the host's); from the text under
// proc_dir (the root's "proc" folder) on a captured tree, for raw sockets,
// and where the host has no such netlink table. A text row of another shape
// is passed over. Returns 0, or the errno of a table that could not be read
// whole (a failed netlink dump included: never a shorter table).
int for_each_socket(int proc_dir, std::span<const char* const> names,
                    const std::function<bool(const HostSocket&)>& fn);

// The sockets of a process's tables, those of its network namespace (under
// its /proc folder): from netlink only when that is the caller's own, and
// then without the rows that have no socket behind them (TIME_WAIT,
// connection requests), which the host need not describe for this.
int for_each_process_socket(int process_dir, const char* name,
                            const std::function<bool(const HostSocket&)>& fn);

// The number of rows of the same table, as for_each_socket finds them (a
// text row of another shape counted too). Returns 0 or an errno.
int count_sockets(int proc_dir, const char* name, std::size_t& rows);

// The records a TCP list (with is_tcp) or a UDP list of both families will
// hold, for a size question. On the live host the kernel's own counts of
// this network namespace (/proc/net/sockstat and sockstat6: its hashed
// sockets, and for TCP those in TIME_WAIT), as FreeBSD counts its control
// blocks without walking them; elsewhere, or where the host gives no
// counts, the rows of the tables under proc_dir. Returns 0 or an errno.
int count_inet_sockets(int proc_dir, bool is_tcp, std::size_t& count);

// The kernel's own count alone: false where the host gives none (a captured
// tree, no sockstat).
bool kernel_socket_count(bool is_tcp, std::size_t& count);

// The numbers of a process's descriptors, ascending; fd_dir keeps its fd/
// folder open, so that each descriptor is then looked up by number alone.
// Returns 0 or an errno (as process_refusal gives it).
int list_descriptors(int process_dir, Fd& fd_dir, std::vector<int>& fds);

// How many descriptors a live process has open, as the host gives it for
// its fd/ folder (open at fd_dir; Linux 6.2 on), or 0 where it gives none
// (an older host, a captured tree).
std::size_t open_descriptor_count(int fd_dir);

inline bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace compat
