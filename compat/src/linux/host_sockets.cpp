#include "linux/host_sockets.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "linux/host_dirs.h"
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
    if (v6) {
        freebsd::sockaddr_in6 sin6{};
        sin6.sin6_len = sizeof sin6;
        sin6.sin6_family = freebsd::AF_INET6;
        sin6.sin6_port = to_network16(port);
        std::memcpy(sin6.sin6_addr.s6_addr, words, 16);
        std::memcpy(&ss, &sin6, sizeof sin6);
    } else {
        freebsd::sockaddr_in sin{};
        sin.sin_len = sizeof sin;
        sin.sin_family = freebsd::AF_INET;
        sin.sin_port = to_network16(port);
        sin.sin_addr.s_addr = words[0];
        std::memcpy(&ss, &sin, sizeof sin);
    }
    return port;
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
    parse_hex(f[5], out.host_state);
    // A bound socket's path follows the inode after one space; it may hold
    // spaces of its own. An abstract name shows as "@name". An unbound socket
    // keeps an all-zero address.
    if (line.size() > 1 && line[0] == ' ') {
        std::string_view path = line.substr(1);
        freebsd::sockaddr_un sun{};
        const std::size_t n = std::min(path.size(), sizeof sun.sun_path);
        std::memcpy(sun.sun_path, path.data(), n);
        sun.sun_family = freebsd::AF_UNIX;
        sun.sun_len = static_cast<std::uint8_t>(offsetof(freebsd::sockaddr_un, sun_path) + n);
        std::memcpy(&out.local, &sun, sizeof sun);
    }
    return true;
}

int list_descriptors(int process_dir, Fd& fd_dir, std::vector<int>& fds) {
    fd_dir = Fd(::openat(process_dir, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd_dir.valid()) return process_refusal(errno);
    Fd for_listing(::fcntl(fd_dir.get(), F_DUPFD_CLOEXEC, 0));
    if (!for_listing.valid()) return errno;
    if (int err = list_numbered_entries(std::move(for_listing), fds, 0); err != 0)
        return process_refusal(err);
    // The host lists them in ascending order; a captured tree may not.
    if (!std::is_sorted(fds.begin(), fds.end())) std::sort(fds.begin(), fds.end());
    return 0;
}

std::uint64_t bracket_number(std::string_view text) {
    auto open = text.find('[');
    std::uint64_t value = 0;
    if (open == std::string_view::npos) return 0;
    std::from_chars(text.data() + open + 1, text.data() + text.size(), value);
    return value;
}

}  // namespace compat
