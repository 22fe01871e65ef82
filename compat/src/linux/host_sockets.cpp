#include "linux/host_sockets.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>

#include "linux/host_dirs.h"
#include "linux/netlink_sockets.h"
#include "linux/proc_reads.h"

namespace compat {
namespace {

constexpr InetTable kInetTables[] = {
    {"net/tcp", false, freebsd::SOCK_STREAM, freebsd::IPPROTO_TCP},
    {"net/tcp6", true, freebsd::SOCK_STREAM, freebsd::IPPROTO_TCP},
    {"net/udp", false, freebsd::SOCK_DGRAM, freebsd::IPPROTO_UDP},
    {"net/udp6", true, freebsd::SOCK_DGRAM, freebsd::IPPROTO_UDP},
    {"net/raw", false, freebsd::SOCK_RAW, 0},
    {"net/raw6", true, freebsd::SOCK_RAW, 0},
};

template <typename T>
bool parse_hex(std::string_view text, T& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return ec == std::errc() && end == text.data() + text.size();
}

template <typename T>
bool parse_dec(std::string_view text, T& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::uint16_t to_network16(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }

// An address (4 or 16 bytes as in memory) and a port in network order.
void put_inet_address(freebsd::sockaddr_storage& ss, bool v6, const void* addr, std::uint16_t port) {
    if (v6) {
        freebsd::sockaddr_in6 sin6{};
        sin6.sin6_len = sizeof sin6;
        sin6.sin6_family = freebsd::AF_INET6;
        sin6.sin6_port = port;
        std::memcpy(sin6.sin6_addr.s6_addr, addr, 16);
        std::memcpy(&ss, &sin6, sizeof sin6);
    } else {
        freebsd::sockaddr_in sin{};
        sin.sin_len = sizeof sin;
        sin.sin_family = freebsd::AF_INET;
        sin.sin_port = port;
        std::memcpy(&sin.sin_addr.s_addr, addr, 4);
        std::memcpy(&ss, &sin, sizeof sin);
    }
}

// "0100007F:0016" or 32 hex digits and a port. Returns the port in host order.
unsigned fill_inet_address(freebsd::sockaddr_storage& ss, std::string_view text, bool v6) {
    auto colon = text.find(':');
    std::uint16_t port = 0;
    if (colon == std::string_view::npos || !parse_hex(text.substr(colon + 1), port)) port = 0;
    std::string_view addr = text.substr(0, colon);
    std::uint32_t words[4] = {};
    const int nwords = v6 ? 4 : 1;
    for (int i = 0; i < nwords && addr.size() >= static_cast<std::size_t>(8 * (i + 1)); ++i)
        parse_hex(addr.substr(8 * i, 8), words[i]);
    put_inet_address(ss, v6, words, to_network16(port));
    return port;
}

// A bound unix socket's path as the text table shows it.
void put_unix_path(HostSocket& out, std::string_view path) {
    freebsd::sockaddr_un sun{};
    const std::size_t n = std::min(path.size(), sizeof sun.sun_path);
    std::memcpy(sun.sun_path, path.data(), n);
    sun.sun_family = freebsd::AF_UNIX;
    sun.sun_len = static_cast<std::uint8_t>(offsetof(freebsd::sockaddr_un, sun_path) + n);
    std::memcpy(&out.local, &sun, sizeof sun);
}

constexpr int kHostTcpListen = 10;

void from_diag(const DiagInet& diag, const InetTable& table, HostSocket& out) {
    out = HostSocket{};
    out.inode = diag.inode;
    out.domain = table.v6 ? freebsd::AF_INET6 : freebsd::AF_INET;
    out.type = table.type;
    out.protocol = table.protocol;
    out.host_state = diag.state;
    out.uid = diag.uid;
    // For a listening socket the kernel gives its backlog limit where the
    // text gives the bytes not yet acknowledged, which a listener never has.
    out.sendq = table.protocol == freebsd::IPPROTO_TCP && diag.state == kHostTcpListen ? 0 : diag.wqueue;
    out.recvq = diag.rqueue;
    put_inet_address(out.local, table.v6, diag.src, diag.sport);
    put_inet_address(out.peer, table.v6, diag.dst, diag.dport);
    out.dual_stack = table.v6 && diag.v6only == 0;
}

// The text table writes a name's NUL bytes as '@' and leaves out the NUL
// that ends a path.
void from_diag(const DiagUnix& diag, HostSocket& out) {
    out = HostSocket{};
    out.inode = diag.inode;
    out.domain = freebsd::AF_UNIX;
    out.type = diag.type;
    if (!diag.bound) return;
    std::string_view name = diag.name;
    if (!name.empty() && name[0] != '\0') name.remove_suffix(1);
    char path[sizeof(freebsd::sockaddr_un::sun_path)];
    const std::size_t n = std::min(name.size(), sizeof path);
    for (std::size_t i = 0; i < n; ++i) path[i] = name[i] == '\0' ? '@' : name[i];
    put_unix_path(out, std::string_view(path, n));
}

// The tables sock_diag has: this process's own tables on the live host.
bool netlink_table(const char* name) {
    if (host_root() != "/") return false;
    return std::strcmp(name, "net/unix") == 0 || std::strncmp(name, "net/tcp", 7) == 0 ||
           std::strncmp(name, "net/udp", 7) == 0;
}

const InetTable* inet_table(const char* name) {
    for (const InetTable& t : kInetTables)
        if (std::strcmp(t.name, name) == 0) return &t;
    return nullptr;
}

// The host's TCP states of rows without a socket of their own.
constexpr std::uint32_t kTimeWait = 1U << 6;
constexpr std::uint32_t kRequest = 1U << 12;
constexpr std::uint32_t kEveryState = ~0U;

// Rows of the table from netlink, of the states in the mask. Returns 0,
// kDiagAbsent or an errno.
int diag_rows(const char* name, std::uint32_t states, const std::function<bool(const HostSocket&)>& fn) {
    HostSocket row;
    const InetTable* table = inet_table(name);
    if (table == nullptr) {
        return diag_dump_unix([&](const DiagUnix& diag) {
            from_diag(diag, row);
            return fn(row);
        });
    }
    return diag_dump_inet(table->v6, table->protocol, states, [&](const DiagInet& diag) {
        from_diag(diag, *table, row);
        return fn(row);
    });
}

}  // namespace

std::span<const InetTable> inet_tables() { return kInetTables; }

int open_at(int dir, const char* name) { return ::openat(dir, name, O_RDONLY | O_CLOEXEC); }

bool parse_inet_row(std::string_view line, const InetTable& table, HostSocket& out) {
    std::string_view f[10];
    for (auto& field : f) {
        field = next_token(line);
        if (field.empty()) return false;
    }
    out = HostSocket{};
    if (!parse_dec(f[9], out.inode)) return false;
    out.domain = table.v6 ? freebsd::AF_INET6 : freebsd::AF_INET;
    out.type = table.type;
    const unsigned local_port = fill_inet_address(out.local, f[1], table.v6);
    fill_inet_address(out.peer, f[2], table.v6);
    out.protocol = table.protocol != 0 ? table.protocol : static_cast<int>(local_port);
    parse_hex(f[3], out.host_state);
    parse_dec(f[7], out.uid);
    auto colon = f[4].find(':');
    if (colon != std::string_view::npos) {
        parse_hex(f[4].substr(0, colon), out.sendq);
        parse_hex(f[4].substr(colon + 1), out.recvq);
    }
    return true;
}

bool parse_unix_row(std::string_view line, HostSocket& out) {
    std::string_view f[7];
    for (auto& field : f) {
        field = next_token(line);
        if (field.empty()) return false;
    }
    out = HostSocket{};
    if (!parse_dec(f[6], out.inode)) return false;
    out.domain = freebsd::AF_UNIX;
    parse_hex(f[4], out.type);  // stream 1, datagram 2, seqpacket 5 on both systems
    // A bound socket's path follows the inode after one space; it may hold
    // spaces of its own. An abstract name shows as "@name". An unbound socket
    // keeps an all-zero address. Its state (St) is not kept: no FreeBSD
    // record of a unix socket carries one.
    if (line.size() > 1 && line[0] == ' ') put_unix_path(out, line.substr(1));
    return true;
}

namespace {

// Whether the host makes new IPv6 sockets dual-stack (bindv6only 0); false
// where it does not say.
bool host_default_dual_stack() {
    long v6only = -1;
    return host_number("proc/sys/net/ipv6/bindv6only", v6only) && v6only == 0;
}

int text_rows(int dir, const char* name, const std::function<bool(const HostSocket&)>& fn) {
    const InetTable* table = inet_table(name);
    const bool dual_stack = table != nullptr && table->v6 && host_default_dual_stack();
    HostSocket row;
    return for_each_table_row(dir, name, [&](std::string_view line) {
        const bool parsed = table != nullptr ? parse_inet_row(line, *table, row) : parse_unix_row(line, row);
        row.dual_stack = dual_stack;
        return !parsed || fn(row);
    });
}

int socket_rows(int dir, const char* name, bool own, std::uint32_t states,
                const std::function<bool(const HostSocket&)>& fn) {
    if (own && netlink_table(name)) {
        if (int err = diag_rows(name, states, fn); err != kDiagAbsent) return err;
    }
    return text_rows(dir, name, fn);
}

// Both TCP tables from one walk: the IPv4 rows as they come, the IPv6 rows
// after them. Returns 0, kDiagAbsent or an errno.
int diag_tcp_rows(const std::function<bool(const HostSocket&)>& fn) {
    const InetTable& v4 = kInetTables[0];
    const InetTable& v6 = kInetTables[1];
    std::vector<DiagInet> later;
    HostSocket row;
    bool more = true;
    const int err = diag_dump_tcp([&](const DiagInet& diag) {
        if (diag.v6) {
            later.push_back(diag);
            return true;
        }
        from_diag(diag, v4, row);
        more = fn(row);
        return more;
    });
    if (err != 0) return err;
    for (std::size_t i = 0; more && i < later.size(); ++i) {
        from_diag(later[i], v6, row);
        more = fn(row);
    }
    return 0;
}

// The process's network namespace is the caller's.
bool in_own_network(int process_dir) {
    struct stat theirs {
    }, ours{};
    return ::fstatat(process_dir, "ns/net", &theirs, 0) == 0 && ::stat("/proc/self/ns/net", &ours) == 0 &&
           theirs.st_ino == ours.st_ino && theirs.st_dev == ours.st_dev;
}

}  // namespace

int for_each_socket(int proc_dir, std::span<const char* const> names,
                    const std::function<bool(const HostSocket&)>& fn) {
    if (names.size() == 2 && std::strcmp(names[0], "net/tcp") == 0 &&
        std::strcmp(names[1], "net/tcp6") == 0 && netlink_table(names[0])) {
        if (int err = diag_tcp_rows(fn); err != kDiagAbsent) return err;
    }
    for (const char* name : names) {
        if (int err = socket_rows(proc_dir, name, true, kEveryState, fn); err != 0) return err;
    }
    return 0;
}

int for_each_process_socket(int process_dir, const char* name,
                            const std::function<bool(const HostSocket&)>& fn) {
    return socket_rows(process_dir, name, netlink_table(name) && in_own_network(process_dir),
                       ~(kTimeWait | kRequest), fn);
}

int count_sockets(int proc_dir, const char* name, std::size_t& rows) {
    rows = 0;
    if (netlink_table(name)) {
        const int err = diag_rows(name, kEveryState, [&](const HostSocket&) {
            ++rows;
            return true;
        });
        if (err != kDiagAbsent) return err;
        rows = 0;
    }
    return for_each_table_row(proc_dir, name, [&](std::string_view) {
        ++rows;
        return true;
    });
}

std::size_t open_descriptor_count(int fd_dir) {
    if (host_root() != "/") return 0;  // a captured tree's folder sizes mean nothing here
    struct stat st {};
    if (::fstat(fd_dir, &st) != 0 || st.st_size <= 0) return 0;
    return static_cast<std::size_t>(st.st_size);
}

namespace {

// The number after `name` in a sockstat line's "name value" pairs.
bool sockstat_counter(std::string_view pairs, std::string_view name, std::size_t& value) {
    for (;;) {
        const std::string_view key = next_token(pairs);
        const std::string_view number = next_token(pairs);
        if (key.empty() || number.empty()) return false;
        if (key == name) return parse_dec(number, value);
    }
}

}  // namespace

bool kernel_socket_count(bool is_tcp, std::size_t& count) {
    if (host_root() != "/") return false;
    FileText v4, v6;
    if (v4.read_host("proc/net/sockstat") != 0) return false;
    std::size_t inuse = 0, inuse6 = 0, timewait = 0;
    if (!sockstat_counter(key_value(v4.view(), is_tcp ? "TCP" : "UDP"), "inuse", inuse)) return false;
    if (is_tcp && !sockstat_counter(key_value(v4.view(), "TCP"), "tw", timewait)) return false;
    // A host without IPv6 has no sockstat6, and no IPv6 sockets.
    if (v6.read_host("proc/net/sockstat6") == 0 &&
        !sockstat_counter(key_value(v6.view(), is_tcp ? "TCP6" : "UDP6"), "inuse", inuse6))
        return false;
    count = inuse + inuse6 + timewait;
    return true;
}

int count_inet_sockets(int proc_dir, bool is_tcp, std::size_t& count) {
    if (kernel_socket_count(is_tcp, count)) return 0;
    count = 0;
    static constexpr const char* kTcp[] = {"net/tcp", "net/tcp6"};
    static constexpr const char* kUdp[] = {"net/udp", "net/udp6"};
    for (const char* name : is_tcp ? kTcp : kUdp) {
        std::size_t rows = 0;
        if (int err = count_sockets(proc_dir, name, rows); err != 0) return err;
        count += rows;
    }
    return 0;
}

int list_descriptors(int process_dir, Fd& fd_dir, std::vector<int>& fds) {
    fd_dir = Fd(::openat(process_dir, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd_dir.valid()) return process_refusal(errno);
    // The host walks every descriptor slot of the process for each listing
    // call, the one that finds the end too: the count of open descriptors
    // spares that last walk.
    if (int err = list_numbered_entries(fd_dir.get(), fds, 0, open_descriptor_count(fd_dir.get())); err != 0)
        return process_refusal(err);
    // The host lists them in ascending order; a captured tree may not.
    if (!std::is_sorted(fds.begin(), fds.end())) std::sort(fds.begin(), fds.end());
    return 0;
}

}  // namespace compat
