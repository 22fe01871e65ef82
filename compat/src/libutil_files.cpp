// libutil's kinfo_getfile(3): one struct kinfo_file per open descriptor of a
// process, built from the host's /proc/<pid>.
//
// Sources, read once per call:
//   exe, cwd, root       the special records, in FreeBSD's order: the text
//                        file (-5), the working directory (-1), the root (-2);
//   fd/                  one record per descriptor, in ascending order; the
//                        link text names the kind ("/path", "socket:[ino]",
//                        "pipe:[ino]", "anon_inode:[eventfd]" ...) and a
//                        stat through the link gives a file's vnode type;
//   net/{unix,tcp,tcp6,udp,udp6,raw,raw6}
//                        only when the process has sockets, and only until
//                        every socket is found: domain, type, protocol and
//                        both addresses, in FreeBSD's sockaddr layouts.
//
// Like the library, the answer is an array of full-size records (the kernel's
// packed records unpacked), kf_structsize = sizeof(struct kinfo_file), that
// the caller frees. Errors as FreeBSD gives them: ESRCH for a process that
// has gone or is a zombie (the kernel refuses exiting processes), EPERM where
// the host refuses to show another user's descriptors.
//
// Scripted overlay: key "kinfo_getfile.<pid>". An answer is the array the
// call returns, back-to-back struct kinfo_file records (the count is the
// answer's length divided by the record size); a failure returns NULL with
// the scripted errno, 0 included.
#include "freebsd/libutil.h"
#include "freebsd/sys/socket.h"
#include "freebsd/sys/user.h"
#include "proc_reads.h"
#include "proc_records.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace compat {
namespace {

using freebsd::kinfo_file;

constexpr std::uint16_t kAttrValid = 0x0001;  // KF_ATTR_VALID

// A path longer than FreeBSD's limit is one the kernel cannot name: the
// field stays empty rather than holding the front of another path.
void set_path(kinfo_file& kf, std::string_view path) {
    if (path.size() >= sizeof kf.kf_path) return;
    std::memcpy(kf.kf_path, path.data(), path.size());
    kf.kf_path[path.size()] = '\0';
}

void fill_vnode(kinfo_file& kf, int vtype, std::string_view path) {
    kf.kf_type = freebsd::KF_TYPE_VNODE;
    kf.kf_vnode_type = static_cast<std::uint32_t>(vtype);
    set_path(kf, path);
}

int vnode_type_of(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG: return freebsd::KF_VTYPE_VREG;
        case S_IFDIR: return freebsd::KF_VTYPE_VDIR;
        case S_IFCHR: return freebsd::KF_VTYPE_VCHR;
        case S_IFBLK: return freebsd::KF_VTYPE_VBLK;
        case S_IFLNK: return freebsd::KF_VTYPE_VLNK;
        case S_IFSOCK: return freebsd::KF_VTYPE_VSOCK;
        case S_IFIFO: return freebsd::KF_VTYPE_VFIFO;
        default: return freebsd::KF_VTYPE_VNON;
    }
}

void fill_stat(kinfo_file& kf, const struct stat& st) {
    auto& file = kf.kf_un.kf_file;
    file.kf_file_fileid = st.st_ino;
    file.kf_file_size = static_cast<std::uint64_t>(st.st_size);
    file.kf_file_mode = static_cast<std::uint16_t>(st.st_mode);
    file.kf_file_nlink = st.st_nlink;
    file.kf_file_fsid = st.st_dev;
    file.kf_file_rdev = st.st_rdev;
    kf.kf_status = kAttrValid;
}

// The number inside "kind:[123]", or 0.
std::uint64_t bracket_number(std::string_view text) {
    auto open = text.find('[');
    std::uint64_t value = 0;
    if (open == std::string_view::npos) return 0;
    std::from_chars(text.data() + open + 1, text.data() + text.size(), value);
    return value;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Fills one descriptor's record from its link text. Returns false when the
// descriptor was closed while the table was read.
bool fill_descriptor(int dir, const char* link_name, std::string_view target, kinfo_file& kf,
                     std::uint64_t& socket_inode) {
    if (!target.empty() && target[0] == '/') {
        struct stat st;
        if (::fstatat(dir, link_name, &st, 0) != 0) {
            if (errno == ENOENT) return false;
            fill_vnode(kf, freebsd::KF_VTYPE_VNON, target);  // a file the host would not describe
            return true;
        }
        const int vtype = vnode_type_of(st.st_mode);
        fill_vnode(kf, vtype, target);
        fill_stat(kf, st);
        if (vtype == freebsd::KF_VTYPE_VFIFO) kf.kf_type = freebsd::KF_TYPE_FIFO;
        // Anonymous shared memory has a name but no file system behind it.
        if (starts_with(target, "/memfd:")) kf.kf_type = freebsd::KF_TYPE_SHM;
        return true;
    }
    if (starts_with(target, "socket:")) {
        kf.kf_type = freebsd::KF_TYPE_SOCKET;
        socket_inode = bracket_number(target);
        return true;
    }
    if (starts_with(target, "pipe:")) {
        kf.kf_type = freebsd::KF_TYPE_PIPE;
        kf.kf_un.kf_pipe.kf_pipe_addr = bracket_number(target);
        return true;
    }
    if (starts_with(target, "anon_inode:")) {
        if (target.find("eventfd") != std::string_view::npos)
            kf.kf_type = freebsd::KF_TYPE_EVENTFD;
        else if (target.find("eventpoll") != std::string_view::npos)
            kf.kf_type = freebsd::KF_TYPE_KQUEUE;  // the host's event queue
        else if (target.find("pidfd") != std::string_view::npos)
            kf.kf_type = freebsd::KF_TYPE_PROCDESC;
        else
            kf.kf_type = freebsd::KF_TYPE_UNKNOWN;
        return true;
    }
    kf.kf_type = freebsd::KF_TYPE_UNKNOWN;
    return true;
}

// ---- Socket tables --------------------------------------------------------

struct Fields {
    std::string_view at[12];
    int count = 0;
    // Splits a line into at most 12 fields; the last keeps the line's rest
    // when rest_from is reached (for a path that may hold spaces).
    void split(std::string_view line, int rest_from = 12) {
        count = 0;
        while (count < 12) {
            auto start = line.find_first_not_of(' ');
            if (start == std::string_view::npos) return;
            line.remove_prefix(start);
            if (count == rest_from) {
                at[count++] = line;
                return;
            }
            auto end = line.find(' ');
            at[count++] = line.substr(0, end);
            if (end == std::string_view::npos) return;
            line.remove_prefix(end);
        }
    }
};

template <typename T>
bool parse_hex(std::string_view text, T& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return ec == std::errc() && end == text.data() + text.size();
}

template <typename T>
bool parse_dec(std::string_view text, T& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

std::uint16_t to_network16(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }

// "0100007F:0016" (IPv4) or 32 hex digits and a port (IPv6), as the host
// prints them: each 32-bit word of the address as the value it has in
// memory, the port in host order. Returns the port in host order.
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

struct InetTable {
    const char* name;
    bool v6;
    int type;
    int protocol;  // 0: the raw socket's protocol, printed where a port would be
};

constexpr InetTable kInetTables[] = {
    {"net/tcp", false, freebsd::SOCK_STREAM, freebsd::IPPROTO_TCP},
    {"net/tcp6", true, freebsd::SOCK_STREAM, freebsd::IPPROTO_TCP},
    {"net/udp", false, freebsd::SOCK_DGRAM, freebsd::IPPROTO_UDP},
    {"net/udp6", true, freebsd::SOCK_DGRAM, freebsd::IPPROTO_UDP},
    {"net/raw", false, freebsd::SOCK_RAW, 0},
    {"net/raw6", true, freebsd::SOCK_RAW, 0},
};

using SocketIndex = std::unordered_map<std::uint64_t, kinfo_file*>;

// Calls fn(line) for every line of a table after its header, one line at a
// time, while fn answers true. A table that cannot be read has no lines.
template <typename Fn>
void for_each_row(int dir, const char* name, Fn fn) {
    Fd file(::openat(dir, name, O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return;
    LineReader reader(file.get());
    std::string_view line;
    if (!reader.next(line)) return;  // the header
    while (reader.next(line)) {
        if (!fn(line)) return;
    }
}

// Takes the record of the socket with this inode out of the index.
kinfo_file* claim(SocketIndex& pending, std::string_view inode_text) {
    std::uint64_t inode = 0;
    if (!parse_dec(inode_text, inode)) return nullptr;
    auto it = pending.find(inode);
    if (it == pending.end()) return nullptr;
    kinfo_file* kf = it->second;
    pending.erase(it);
    return kf;
}

void resolve_inet(int dir, const InetTable& table, SocketIndex& pending) {
    Fields f;
    for_each_row(dir, table.name, [&](std::string_view line) {
        // sl local remote st tx:rx tr:when retrnsmt uid timeout inode
        f.split(line);
        if (f.count < 10) return true;
        kinfo_file* kf = claim(pending, f.at[9]);
        if (kf == nullptr) return true;
        kf->kf_sock_domain = table.v6 ? freebsd::AF_INET6 : freebsd::AF_INET;
        kf->kf_sock_type = table.type;
        const unsigned local_port = fill_inet_address(kf->kf_sa_local, f.at[1], table.v6);
        fill_inet_address(kf->kf_sa_peer, f.at[2], table.v6);
        kf->kf_sock_protocol = table.protocol != 0 ? table.protocol : static_cast<int>(local_port);
        auto queues = f.at[4];
        auto colon = queues.find(':');
        if (colon != std::string_view::npos) {
            parse_hex(queues.substr(0, colon), kf->kf_un.kf_sock.kf_sock_sendq);
            parse_hex(queues.substr(colon + 1), kf->kf_un.kf_sock.kf_sock_recvq);
        }
        return !pending.empty();
    });
}

void resolve_unix(int dir, SocketIndex& pending) {
    Fields f;
    for_each_row(dir, "net/unix", [&](std::string_view line) {
        // Num RefCount Protocol Flags Type St Inode [Path]
        f.split(line, 7);
        if (f.count < 7) return true;
        kinfo_file* kf = claim(pending, f.at[6]);
        if (kf == nullptr) return true;
        kf->kf_sock_domain = freebsd::AF_UNIX;
        int type = 0;
        parse_hex(f.at[4], type);
        kf->kf_sock_type = type;  // stream 1, datagram 2, seqpacket 5 on both systems
        kf->kf_sock_protocol = 0;
        // An unbound socket keeps an all-zero address.
        if (f.count > 7) {
            freebsd::sockaddr_un sun{};
            std::string_view path = f.at[7];
            const std::size_t n = path.size() < sizeof sun.sun_path ? path.size() : sizeof sun.sun_path;
            std::memcpy(sun.sun_path, path.data(), n);
            sun.sun_family = freebsd::AF_UNIX;
            sun.sun_len = static_cast<std::uint8_t>(offsetof(freebsd::sockaddr_un, sun_path) + n);
            std::memcpy(&kf->kf_sa_local, &sun, sizeof sun);
        }
        return !pending.empty();
    });
}

// Each table is read once, and only while some socket is still unknown.
void resolve_sockets(int dir, SocketIndex& pending) {
    resolve_unix(dir, pending);
    for (const InetTable& table : kInetTables) {
        if (pending.empty()) return;
        resolve_inet(dir, table, pending);
    }
    // Sockets of other domains (netlink, packet) keep domain 0: unknown.
}

// ---- The table ------------------------------------------------------------

// Lists the descriptor numbers; fd_dir keeps the folder open, so that each
// descriptor is then looked up in it by its number alone.
int list_descriptors(int dir, Fd& fd_dir, std::vector<int>& fds) {
    fd_dir = Fd(::openat(dir, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd_dir.valid()) return process_refusal(errno);
    Fd for_listing(::fcntl(fd_dir.get(), F_DUPFD_CLOEXEC, 0));
    if (!for_listing.valid()) return errno;
    DIR* listing = ::fdopendir(for_listing.get());
    if (listing == nullptr) return errno;
    for_listing.release();
    while (dirent* entry = ::readdir(listing)) {
        int fd = 0;
        if (parse_dec(std::string_view(entry->d_name), fd)) fds.push_back(fd);
    }
    ::closedir(listing);
    // The host lists them in ascending order; a captured tree may not.
    if (!std::is_sorted(fds.begin(), fds.end())) std::sort(fds.begin(), fds.end());
    return 0;
}

struct Special {
    const char* link;
    int fd;
    int vtype;
};

constexpr Special kSpecials[] = {
    {"exe", freebsd::KF_FD_TYPE_TEXT, freebsd::KF_VTYPE_VREG},
    {"cwd", freebsd::KF_FD_TYPE_CWD, freebsd::KF_VTYPE_VDIR},
    {"root", freebsd::KF_FD_TYPE_ROOT, freebsd::KF_VTYPE_VDIR},
};

void init_record(kinfo_file& kf, int fd) {
    kf.kf_structsize = sizeof(kinfo_file);
    kf.kf_fd = fd;
    kf.kf_ref_count = 1;
}

// Builds the table into a malloc'ed array. Returns 0 or an errno.
int build_table(int pid, kinfo_file** out, int* count) {
    Fd dir;
    if (int err = open_process_dir(pid, dir); err != 0) return err;

    // The working directory answers for the process as a whole: a zombie or a
    // process that has gone has none (FreeBSD refuses exiting processes with
    // ESRCH), and another user's is refused.
    std::string cwd;
    if (int err = read_link_at(dir.get(), "cwd", cwd); err != 0) return process_refusal(err);
    std::vector<int> fds;
    Fd fd_dir;
    if (int err = list_descriptors(dir.get(), fd_dir, fds); err != 0) return err;

    const std::size_t capacity = sizeof kSpecials / sizeof kSpecials[0] + fds.size();
    std::unique_ptr<kinfo_file, decltype(&std::free)> records(
        static_cast<kinfo_file*>(std::calloc(capacity, sizeof(kinfo_file))), &std::free);
    if (!records) return ENOMEM;
    kinfo_file* table = records.get();
    std::size_t n = 0;

    std::string target;
    for (const Special& special : kSpecials) {
        if (special.fd == freebsd::KF_FD_TYPE_CWD)
            target = cwd;
        else if (read_link_at(dir.get(), special.link, target) != 0)
            continue;  // a kernel thread has no text
        init_record(table[n], special.fd);
        fill_vnode(table[n], special.vtype, target);
        ++n;
    }

    SocketIndex sockets;
    char link_name[16];
    for (int fd : fds) {
        auto [end, ec] = std::to_chars(link_name, link_name + sizeof link_name - 1, fd);
        *end = '\0';
        if (read_link_at(fd_dir.get(), link_name, target) != 0) continue;  // closed meanwhile
        kinfo_file& kf = table[n];
        init_record(kf, fd);
        std::uint64_t inode = 0;
        if (!fill_descriptor(fd_dir.get(), link_name, target, kf, inode)) {
            std::memset(&kf, 0, sizeof kf);
            continue;
        }
        if (kf.kf_type == freebsd::KF_TYPE_SOCKET && inode != 0) sockets.emplace(inode, &kf);
        ++n;
    }
    if (!sockets.empty()) resolve_sockets(dir.get(), sockets);

    *out = records.release();
    *count = static_cast<int>(n);
    return 0;
}

}  // namespace
}  // namespace compat

namespace freebsd {

kinfo_file* kinfo_getfile(int pid, int* cntp) {
    return compat::scripted_or_built_table<kinfo_file>("kinfo_getfile", pid, cntp, compat::build_table);
}

}  // namespace freebsd
