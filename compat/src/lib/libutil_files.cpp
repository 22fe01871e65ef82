// libutil's kinfo_getfile(3): one struct kinfo_file per open descriptor of a
// process, built from the host's /proc/<pid>.
//
// Sources, read once per call:
//   exe, cwd, root       the special records, in FreeBSD's order: the text
//                        file (-5), the controlling terminal (-6) when the
//                        process has one (tty_nr of stat; its path is that of
//                        a descriptor open on the same device, else the
//                        device's name in /sys/dev/char, else /dev/pts/N for
//                        a pseudo-terminal), the working directory (-1), the
//                        root (-2);
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
#include "entry.h"
#include "linux/host_sockets.h"
#include "linux/proc_reads.h"
#include "linux/proc_records.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
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
    // A removed file's path is empty, and may have no bytes behind it at all.
    if (!path.empty()) std::memcpy(kf.kf_path, path.data(), path.size());
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

// The vnode's attributes, as vn_fill_kinfo_vnode gives them.
void fill_stat(kinfo_file& kf, const struct stat& st) {
    auto& file = kf.kf_un.kf_file;
    file.kf_file_fileid = st.st_ino;
    file.kf_file_size = static_cast<std::uint64_t>(st.st_size);
    file.kf_file_mode = static_cast<std::uint16_t>(st.st_mode);
    file.kf_file_nlink = st.st_nlink;
    file.kf_file_fsid = st.st_dev;
    file.kf_file_fsid_freebsd11 = static_cast<std::uint32_t>(st.st_dev);
    file.kf_file_rdev = st.st_rdev;
    file.kf_file_rdev_freebsd11 = static_cast<std::uint32_t>(st.st_rdev);
}

// A named file's path as the kernel gives it: none once its name is gone
// (vn_fullpath finds no name for it). The host marks a removed name with
// " (deleted)"; a file whose real name ends so still has links and still
// answers to that name.
std::string_view file_path(int process_dir, std::string_view text, const LinkTarget& link,
                           const struct stat& st) {
    if (st.st_nlink == 0) return {};
    if (link.deleted_mark && !name_still_holds(process_dir, text, st.st_ino)) return {};
    return text;
}

// Fills one descriptor's record from its link text, as the descriptor's
// fo_fill_kinfo would; a kind FreeBSD has no fill for stays
// KF_TYPE_UNKNOWN, and only a record whose fill succeeded is KF_ATTR_VALID
// (export_file_to_kinfo). Returns 0, ENOENT when the descriptor was closed
// while the table was read, or the errno of a failure of the host.
int fill_descriptor(int process_dir, int dir, const char* link_name, std::string_view text, kinfo_file& kf,
                    std::uint64_t& socket_inode) {
    const LinkTarget link = classify_link(text);
    switch (link.kind) {
        case LinkTarget::Kind::path: {
            struct stat st;
            if (::fstatat(dir, link_name, &st, 0) != 0) {
                const int err = errno;
                if (classify_host_failure(err) != HostFailure::refused) return err;
                fill_vnode(kf, freebsd::KF_VTYPE_VNON, text);  // a file the host would not describe
                return 0;
            }
            const int vtype = vnode_type_of(st.st_mode);
            fill_vnode(kf, vtype, file_path(process_dir, text, link, st));
            fill_stat(kf, st);
            if (vtype == freebsd::KF_VTYPE_VFIFO) kf.kf_type = freebsd::KF_TYPE_FIFO;
            // Anonymous shared memory has a name but no file system behind it.
            if (starts_with(text, "/memfd:")) kf.kf_type = freebsd::KF_TYPE_SHM;
            break;
        }
        case LinkTarget::Kind::socket:
            kf.kf_type = freebsd::KF_TYPE_SOCKET;
            socket_inode = link.inode;
            break;
        case LinkTarget::Kind::pipe:
            kf.kf_type = freebsd::KF_TYPE_PIPE;
            kf.kf_un.kf_pipe.kf_pipe_addr = link.inode;
            break;
        case LinkTarget::Kind::eventfd:
            kf.kf_type = freebsd::KF_TYPE_EVENTFD;
            break;
        case LinkTarget::Kind::event_queue:
            kf.kf_type = freebsd::KF_TYPE_KQUEUE;  // the host's event queue
            break;
        case LinkTarget::Kind::process:
            kf.kf_type = freebsd::KF_TYPE_PROCDESC;
            break;
        case LinkTarget::Kind::other:
            kf.kf_type = freebsd::KF_TYPE_UNKNOWN;
            return 0;
    }
    kf.kf_status = kAttrValid;
    return 0;
}

// ---- Socket tables --------------------------------------------------------

// The records of the sockets still unknown, by inode: a socket the process
// holds under several descriptors has a record for each.
using SocketIndex = std::unordered_map<std::uint64_t, std::vector<kinfo_file*>>;

// Copies a table row into every record of the socket with its inode, and
// takes the socket out of the index.
void claim(SocketIndex& pending, const HostSocket& row) {
    auto it = pending.find(row.inode);
    if (it == pending.end()) return;
    for (kinfo_file* kf : it->second) {
        kf->kf_sock_domain = row.domain;
        kf->kf_sock_type = row.type;
        kf->kf_sock_protocol = row.protocol;
        std::memcpy(&kf->kf_sa_local, &row.local, sizeof row.local);
        std::memcpy(&kf->kf_sa_peer, &row.peer, sizeof row.peer);
        kf->kf_un.kf_sock.kf_sock_sendq = row.sendq;
        kf->kf_un.kf_sock.kf_sock_recvq = row.recvq;
    }
    pending.erase(it);
}

// Each table is read once, and only while some socket is still unknown.
// Returns 0, or the errno of a table that could not be read.
int resolve_sockets(int dir, SocketIndex& pending) {
    const auto take = [&](const HostSocket& row) {
        claim(pending, row);
        return !pending.empty();
    };
    int err = for_each_process_socket(dir, "net/unix", take);
    for (const InetTable& table : inet_tables()) {
        if (err != 0 || pending.empty()) break;
        err = for_each_process_socket(dir, table.name, take);
    }
    // Sockets of other domains (netlink, packet) keep domain 0: unknown.
    return process_refusal(err);
}

// ---- The table ------------------------------------------------------------

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

// The device number of the process's controlling terminal (tty_nr of its
// stat, in the host's dev_t encoding, as stat(2) gives st_rdev), or 0.
std::uint64_t controlling_tty(int dir) {
    FileText stat;
    if (stat.read_at(dir, "stat") != 0) return 0;
    std::string_view text = stat.view();
    const auto close = text.rfind(')');
    if (close == std::string_view::npos) return 0;
    std::string_view rest = text.substr(close + 1);
    for (int field = 0; field < 4; ++field) next_token(rest);  // state, ppid, pgrp, session
    std::uint64_t tty = 0;
    leading_numbers(next_token(rest), &tty, 1);
    return tty;
}

// The terminal's path: a descriptor open on the device names it; else the
// host's name for the device; else, for a pseudo-terminal (majors 136 to
// 143), its node under /dev/pts.
std::string tty_path(std::uint64_t tty, const kinfo_file* records, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const kinfo_file& kf = records[i];
        if (kf.kf_fd >= 0 && kf.kf_type == freebsd::KF_TYPE_VNODE &&
            kf.kf_vnode_type == static_cast<std::uint32_t>(freebsd::KF_VTYPE_VCHR) &&
            kf.kf_un.kf_file.kf_file_rdev == tty)
            return kf.kf_path;
    }
    const unsigned major = static_cast<unsigned>((tty >> 8) & 0xfff);
    const unsigned minor = static_cast<unsigned>((tty & 0xff) | ((tty >> 12) & 0xfff00));
    char rel[64];
    std::snprintf(rel, sizeof rel, "sys/dev/char/%u:%u/uevent", major, minor);
    FileText uevent;
    if (uevent.read_host(rel) == 0) {
        std::string_view name = key_value(uevent.view(), "DEVNAME", '=');
        if (!name.empty()) return "/dev/" + std::string(next_token(name));
    }
    if (major >= 136 && major <= 143) return "/dev/pts/" + std::to_string((major - 136) * 256 + minor);
    return {};
}

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
    drop_stand_in_descriptors(pid, fds);

    const std::uint64_t tty = controlling_tty(dir.get());
    const std::size_t capacity = sizeof kSpecials / sizeof kSpecials[0] + 1 + fds.size();
    std::unique_ptr<kinfo_file, decltype(&std::free)> records(
        static_cast<kinfo_file*>(std::calloc(capacity, sizeof(kinfo_file))), &std::free);
    if (!records) return ENOMEM;
    kinfo_file* table = records.get();
    std::size_t n = 0;

    std::string target;
    std::size_t ctty = capacity;  // the terminal's slot, if it has one
    for (const Special& special : kSpecials) {
        // The terminal's record comes before the working directory's; its
        // path is known once the descriptors are.
        if (special.fd == freebsd::KF_FD_TYPE_CWD && tty != 0) ctty = n++;
        if (special.fd == freebsd::KF_FD_TYPE_CWD) {
            target = cwd;
        } else if (int err = read_link_at(dir.get(), special.link, target); err != 0) {
            if (classify_host_failure(err) == HostFailure::gone) continue;  // a kernel thread has no text
            return process_refusal(err);
        }
        init_record(table[n], special.fd);
        fill_vnode(table[n], special.vtype, target);
        // The vnode's attributes where the host describes it; a name that
        // is gone is no path (a deleted executable, a removed folder).
        struct stat st;
        if (::fstatat(dir.get(), special.link, &st, 0) == 0) {
            fill_stat(table[n], st);
            table[n].kf_status = kAttrValid;
            if (st.st_nlink == 0 ||
                (classify_link(target).deleted_mark && !name_still_holds(dir.get(), target, st.st_ino)))
                table[n].kf_path[0] = '\0';
        }
        ++n;
    }

    SocketIndex sockets;
    char link_name[16];
    for (int fd : fds) {
        auto [end, ec] = std::to_chars(link_name, link_name + sizeof link_name - 1, fd);
        *end = '\0';
        if (int err = read_link_at(fd_dir.get(), link_name, target); err != 0) {
            if (int failed = skip_if_gone(err); failed != 0) return process_refusal(failed);
            continue;  // closed meanwhile
        }
        kinfo_file& kf = table[n];
        init_record(kf, fd);
        std::uint64_t inode = 0;
        if (int err = fill_descriptor(dir.get(), fd_dir.get(), link_name, target, kf, inode); err != 0) {
            std::memset(&kf, 0, sizeof kf);
            if (int failed = skip_if_gone(err); failed != 0) return failed;
            continue;
        }
        if (kf.kf_type == freebsd::KF_TYPE_SOCKET && inode != 0) sockets[inode].push_back(&kf);
        ++n;
    }
    if (!sockets.empty()) {
        if (int err = resolve_sockets(dir.get(), sockets); err != 0) return err;
    }
    if (ctty != capacity) {
        kinfo_file& kf = table[ctty];
        init_record(kf, freebsd::KF_FD_TYPE_CTTY);
        const std::string path = tty_path(tty, table, n);
        fill_vnode(kf, freebsd::KF_VTYPE_VCHR, path);
        // The terminal's attributes from its node, when the node is the
        // terminal's.
        struct stat st;
        const std::string node = host_root() + path.substr(path.empty() ? 0 : 1);
        if (!path.empty() && ::stat(node.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == tty) {
            fill_stat(kf, st);
            kf.kf_status = kAttrValid;
        }
        kf.kf_un.kf_file.kf_file_rdev = tty;
        kf.kf_un.kf_file.kf_file_rdev_freebsd11 = static_cast<std::uint32_t>(tty);
    }

    *out = records.release();
    *count = static_cast<int>(n);
    return 0;
}

}  // namespace
}  // namespace compat

namespace freebsd {

kinfo_file* kinfo_getfile(int pid, int* cntp) {
    return compat::guarded_call<kinfo_file*>(nullptr, [&]() -> kinfo_file* {
        return compat::scripted_or_built_table<kinfo_file>("kinfo_getfile", pid, cntp, compat::build_table);
    });
}

}  // namespace freebsd
