// kern.file and the protocol control block lists: every open descriptor of
// every process, and every TCP, UDP and unix-domain socket of the host.
//
// A socket's identity is its inode number on the host: kern.file gives it as
// xf_data, the lists as xso_so, so a join on the two finds a socket's owners
// as it does on FreeBSD with kernel addresses. Other files get identities
// that no inode can equal (the top bit set), unique per descriptor.
//
// The stand-in's FreeBSD declarations come before the host's headers, whose
// macros would otherwise rewrite FreeBSD names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

#include "freebsd/netinet/in_pcb.h"
#include "freebsd/netinet/tcp_var.h"
#include "freebsd/sys/file.h"
#include "freebsd/sys/unpcb.h"
#include "kern/nodes.h"
#include "linux/host_sockets.h"
#include "linux/parallel.h"
#include "linux/proc_reads.h"
#include "linux/proc_records.h"
#include "linux/process_order.h"

namespace compat {
namespace {

using namespace freebsd;

constexpr std::uint64_t kNotASocket = 1ULL << 63;

std::uint64_t descriptor_identity(int pid, int fd) {
    return kNotASocket | (static_cast<std::uint64_t>(static_cast<std::uint32_t>(pid)) << 32) |
           static_cast<std::uint32_t>(fd);
}

// The kind of file a descriptor's link text names, in kern.file's DTYPE
// numbers, and its identity.
void classify(std::string_view text, int pid, int fd, xfile& xf) {
    xf.xf_data = descriptor_identity(pid, fd);
    const LinkTarget link = classify_link(text);
    switch (link.kind) {
        case LinkTarget::Kind::socket:
            xf.xf_type = DTYPE_SOCKET;
            xf.xf_data = link.inode;
            break;
        case LinkTarget::Kind::pipe:
            xf.xf_type = DTYPE_PIPE;
            break;
        case LinkTarget::Kind::eventfd:
            xf.xf_type = DTYPE_EVENTFD;
            break;
        case LinkTarget::Kind::event_queue:
            xf.xf_type = DTYPE_KQUEUE;
            break;
        case LinkTarget::Kind::process:
            xf.xf_type = DTYPE_PROCDESC;
            break;
        case LinkTarget::Kind::path:
        case LinkTarget::Kind::other:
            xf.xf_type = DTYPE_VNODE;
            break;
    }
}

// ---- the open-file table ---------------------------------------------------

// Descriptors one thread describes at a time: a process with more is split
// into pieces of this many, so that one process with thousands of sockets
// is described on every CPU too.
constexpr std::size_t kDescriptorsPerPiece = 512;

// Processes a thread takes at a time.
constexpr std::size_t kProcessesPerRange = 8;

// Appends one record per descriptor named in fds, read through the
// process's fd/ folder; a descriptor closed meanwhile, or one the host will
// not show, is left out. Returns 0 or the errno of a failed read.
int describe_descriptors(int pid, std::uint32_t uid, int fd_dir, std::span<const int> fds, std::string& out) {
    char link_name[16];
    char target[4097];
    for (int fd : fds) {
        auto [end, ec] = std::to_chars(link_name, link_name + sizeof link_name - 1, fd);
        *end = '\0';
        const ssize_t n = ::readlinkat(fd_dir, link_name, target, sizeof target);
        if (n < 0) {
            if (int err = skip_if_gone_or_refused(errno); err != 0) return err;
            continue;
        }
        xfile xf{};
        xf.xf_size = sizeof(xfile);
        xf.xf_pid = pid;
        xf.xf_uid = uid;
        xf.xf_fd = fd;
        xf.xf_file = descriptor_identity(pid, fd);
        xf.xf_count = 1;
        classify(std::string_view(target, static_cast<std::size_t>(n)), pid, fd, xf);
        append_value(out, xf);
    }
    return 0;
}

// One process's part of the table: its records for the first piece of its
// descriptors, and the descriptors left for later pieces.
struct ProcessFiles {
    std::string records;
    std::uint32_t uid = 0;
    std::vector<int> rest;
};

// The most descriptors looked up by number alone, without listing them.
constexpr std::size_t kDenseLimit = 64;

// Most processes hold descriptors 0 to n-1 for the n the host counts: those
// are described by number, without listing the fd/ folder, which walks
// every descriptor slot the process ever had. The count asked again after
// must not have changed, so that a descriptor beyond n open all along is
// never left out. Returns 1 when that held (the records appended), 0 when
// the folder is to be listed instead, or -errno.
int describe_dense(int pid, std::uint32_t uid, int dir, std::string& out) {
    Fd fd_dir(::openat(dir, "fd", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd_dir.valid()) return 0;  // the listing tells what this means
    const std::size_t count = open_descriptor_count(fd_dir.get());
    if (count == 0 || count > kDenseLimit) return 0;
    int fds[kDenseLimit];
    for (std::size_t i = 0; i < count; ++i) fds[i] = static_cast<int>(i);
    const std::size_t base = out.size();
    if (int err = describe_descriptors(pid, uid, fd_dir.get(), std::span(fds, count), out); err != 0) {
        out.resize(base);
        return -err;
    }
    // A number that was not open was left out: the numbers are not dense.
    if (out.size() - base != count * sizeof(xfile) || open_descriptor_count(fd_dir.get()) != count) {
        out.resize(base);
        return 0;
    }
    return 1;
}

// Describes the first piece of the process's descriptors (with whole, all
// of them); a process that has gone, or that the host will not show, has
// none. The calling process is described without the descriptors the
// stand-in holds: its count of open descriptors holds those too, and its
// listing leaves them out. Returns 0 or an errno.
int describe_process(int pid, ProcessFiles& files, bool whole = false) {
    Fd dir;
    if (int err = open_process_dir(pid, dir); err != 0) return skip_if_gone_or_refused(err);
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0) return skip_if_gone_or_refused(errno);
    files.uid = st.st_uid;
    const bool caller = pid == ::getpid();
    if (!caller) {
        if (const int dense = describe_dense(pid, files.uid, dir.get(), files.records); dense != 0)
            return dense < 0 ? -dense : 0;
    }
    Fd fd_dir;
    std::vector<int> fds;
    if (int err = list_descriptors(dir.get(), fd_dir, fds); err != 0) return skip_if_gone_or_refused(err);
    drop_stand_in_descriptors(pid, fds);
    const std::size_t first = whole ? fds.size() : std::min(fds.size(), kDescriptorsPerPiece);
    if (int err =
            describe_descriptors(pid, files.uid, fd_dir.get(), std::span(fds).first(first), files.records);
        err != 0)
        return err;
    if (first < fds.size()) files.rest.assign(fds.begin() + static_cast<std::ptrdiff_t>(first), fds.end());
    return 0;
}

// A later piece of a process's descriptors. A process that has gone since
// has none left to describe.
struct Piece {
    std::size_t process;
    std::size_t begin;
    std::size_t end;
    std::string records;
};

int describe_piece(int pid, const ProcessFiles& files, Piece& piece) {
    char rel[32];
    std::snprintf(rel, sizeof rel, "proc/%d/fd", pid);
    Fd fd_dir = open_host(rel, O_PATH | O_DIRECTORY);
    if (!fd_dir.valid()) return skip_if_gone_or_refused(errno);
    return describe_descriptors(pid, files.uid, fd_dir.get(),
                                std::span(files.rest).subspan(piece.begin, piece.end - piece.begin),
                                piece.records);
}

// The first failure of the threads building one table.
class FirstFailure {
public:
    void note(int err) {
        int none = 0;
        if (err != 0) err_.compare_exchange_strong(none, err, std::memory_order_relaxed);
    }
    int get() const { return err_.load(std::memory_order_relaxed); }

private:
    std::atomic<int> err_{0};
};

// ---- control block lists ----------------------------------------------------

constexpr const char* kTcpTables[] = {"net/tcp", "net/tcp6"};
constexpr const char* kUdpTables[] = {"net/udp", "net/udp6"};
constexpr const char* kUnixTables[] = {"net/unix"};

// Each list read is one consistent copy: both ends carry the same count.
std::atomic<std::uint64_t> list_generation{1};

template <typename Gen>
Gen list_end(std::size_t count, std::uint64_t generation) {
    Gen gen{};
    if constexpr (sizeof(Gen) == sizeof(xinpgen)) {
        gen.xig_len = sizeof gen;
        gen.xig_count = static_cast<std::uint32_t>(count);
        gen.xig_gen = generation;
        gen.xig_sogen = generation;
    } else {
        gen.xug_len = sizeof gen;
        gen.xug_count = static_cast<std::uint32_t>(count);
        gen.xug_gen = generation;
        gen.xug_sogen = generation;
    }
    return gen;
}

// Which inet lists a list is made of, if any.
enum class Inet { none, tcp, udp };

// Builds a whole list: leading generation record, one record per row that
// fill(row, record) accepts, trailing generation record.
template <typename Gen, typename Record, typename Fill>
int build_list(std::span<const char* const> tables, Inet inet, std::string& out, Fill fill) {
    Fd proc = open_host("proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!proc.valid()) return errno;
    const std::uint64_t generation = list_generation.fetch_add(1, std::memory_order_relaxed);
    // Room for the records the kernel counts, and some: a list of thousands
    // is then built without being copied as it grows.
    std::size_t expected = 0;
    if (inet != Inet::none && kernel_socket_count(inet == Inet::tcp, expected))
        out.reserve(out.size() + 2 * sizeof(Gen) + (expected + expected / 8 + 16) * sizeof(Record));
    out.append(sizeof(Gen), '\0');
    std::size_t count = 0;
    Record record;
    const int err = for_each_socket(proc.get(), tables, [&](const HostSocket& row) {
        std::memset(&record, 0, sizeof record);
        if (fill(row, record)) {
            append_value(out, record);
            ++count;
        }
        return true;
    });
    if (err != 0) return err;
    const Gen gen = list_end<Gen>(count, generation);
    std::memcpy(out.data(), &gen, sizeof gen);
    append_value(out, gen);
    return 0;
}

void fill_socket(const HostSocket& row, xsocket& so) {
    so.xso_len = sizeof so;
    so.xso_so = row.inode;
    so.xso_protocol = row.protocol;
    so.xso_family = row.domain;
    so.so_type = static_cast<std::int16_t>(row.type);
    so.so_uid = row.uid;
    so.so_rcv.sb_cc = row.recvq;
    so.so_snd.sb_cc = row.sendq;
}

bool v4_mapped(const in6_addr& a) {
    static constexpr std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(a.s6_addr, prefix, sizeof prefix) == 0;
}

bool unspecified(const in6_addr& a) {
    static constexpr std::uint8_t zero[16] = {};
    return std::memcmp(a.s6_addr, zero, sizeof zero) == 0;
}

// An IPv4 address in a 16-byte slot: zeros, then the four bytes.
void put_v4(in_dependaddr& slot, const void* four) { std::memcpy(&slot.id46_addr.ia46_addr4, four, 4); }

void fill_inpcb(const HostSocket& row, xinpcb& inp) {
    inp.xi_len = sizeof inp;
    fill_socket(row, inp.xi_socket);
    inp.inp_ip_p = static_cast<std::uint8_t>(row.protocol);
    auto& ie = inp.inp_inc.inc_ie;
    if (row.domain == AF_INET) {
        sockaddr_in local, peer;
        std::memcpy(&local, &row.local, sizeof local);
        std::memcpy(&peer, &row.peer, sizeof peer);
        ie.ie_lport = local.sin_port;
        ie.ie_fport = peer.sin_port;
        put_v4(ie.ie_dependladdr, &local.sin_addr);
        put_v4(ie.ie_dependfaddr, &peer.sin_addr);
        inp.inp_vflag = INP_IPV4;
        return;
    }
    sockaddr_in6 local, peer;
    std::memcpy(&local, &row.local, sizeof local);
    std::memcpy(&peer, &row.peer, sizeof peer);
    ie.ie_lport = local.sin6_port;
    ie.ie_fport = peer.sin6_port;
    // A dual-stack IPv6 socket bound to the wildcard and connected nowhere
    // takes IPv4 as well: tcp6_usr_bind and udp6_bind mark it with both
    // flags (its addresses are all zeros either way).
    if (row.dual_stack && unspecified(local.sin6_addr) && unspecified(peer.sin6_addr) && ie.ie_fport == 0) {
        inp.inp_inc.inc_flags = INC_ISIPV6;
        inp.inp_vflag = INP_IPV4 | INP_IPV6;
        return;
    }
    // An IPv6 socket bound or connected to an IPv4-mapped address carries
    // IPv4 traffic: FreeBSD keeps its addresses as IPv4 and marks it so.
    const bool local_v4 = v4_mapped(local.sin6_addr) || unspecified(local.sin6_addr);
    const bool peer_v4 = v4_mapped(peer.sin6_addr) || unspecified(peer.sin6_addr);
    if (local_v4 && peer_v4 && (v4_mapped(local.sin6_addr) || v4_mapped(peer.sin6_addr))) {
        put_v4(ie.ie_dependladdr, local.sin6_addr.s6_addr + 12);
        put_v4(ie.ie_dependfaddr, peer.sin6_addr.s6_addr + 12);
        inp.inp_vflag = INP_IPV4;
        return;
    }
    ie.ie_dependladdr.id6_addr = local.sin6_addr;
    ie.ie_dependfaddr.id6_addr = peer.sin6_addr;
    inp.inp_inc.inc_flags = INC_ISIPV6;
    inp.inp_vflag = INP_IPV6;
}

// The host's TCP states (include/net/tcp_states.h) in FreeBSD's numbers.
int tcp_state(int host_state) {
    switch (host_state) {
        case 1:
            return TCPS_ESTABLISHED;
        case 2:
            return TCPS_SYN_SENT;
        case 3:
            return TCPS_SYN_RECEIVED;
        case 4:
            return TCPS_FIN_WAIT_1;
        case 5:
            return TCPS_FIN_WAIT_2;
        case 6:
            return TCPS_TIME_WAIT;
        case 7:
            return TCPS_CLOSED;
        case 8:
            return TCPS_CLOSE_WAIT;
        case 9:
            return TCPS_LAST_ACK;
        case 10:
            return TCPS_LISTEN;
        case 11:
            return TCPS_CLOSING;
        case 12:
            return TCPS_SYN_RECEIVED;  // a request socket
        default:
            return TCPS_CLOSED;
    }
}

// A row in SYN_RECV (3) or NEW_SYN_RECV (12) without a socket of its own is
// a connection request; FreeBSD keeps those in its syncache.
bool connection_request(const HostSocket& row) {
    return (row.host_state == 3 || row.host_state == 12) && row.inode == 0;
}

// The size answer of an inet list, as tcp_pcblist and udp_pcblist give it:
// both list ends and room for an eighth more records, at least ten.
template <typename Record>
int size_inet_list(bool is_tcp, std::size_t& size) {
    Fd proc = open_host("proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!proc.valid()) return errno;
    std::size_t n = 0;
    if (int err = count_inet_sockets(proc.get(), is_tcp, n); err != 0) return err;
    n += std::max<std::size_t>(n / 8, 10);
    size = 2 * sizeof(xinpgen) + n * sizeof(Record);
    return 0;
}

// A process's descriptor slots (FDSize of its status), which FreeBSD's
// kern.file sizes from; its open descriptors where the host gives no count.
// A process that has gone, or that the host will not show, has none.
// Returns 0 or the errno of a failed read.
int descriptor_slots(int pid, std::vector<int>& fds, std::size_t& slots) {
    slots = 0;
    Fd dir;
    if (int err = open_process_dir(pid, dir); err != 0) return skip_if_gone_or_refused(err);
    FileText status;
    if (int err = status.read_at(dir.get(), "status"); err != 0) return skip_if_gone_or_refused(err);
    if (leading_numbers(key_value(status.view(), "FDSize"), &slots, 1) == 1) return 0;
    Fd fd_dir;
    if (int err = list_descriptors(dir.get(), fd_dir, fds); err != 0) return skip_if_gone_or_refused(err);
    slots = fds.size();
    return 0;
}

int read_local_list(int type, std::string& out) {
    return build_list<xunpgen, xunpcb>(kUnixTables, Inet::none, out,
                                       [type](const HostSocket& row, xunpcb& u) {
                                           if (row.type != type) return false;
                                           u.xu_len = sizeof u;
                                           u.xu_unpp = row.inode | (1ULL << 62);
                                           std::memcpy(&u.xu_addr, &row.local, sizeof u.xu_addr);
                                           fill_socket(row, u.xu_socket);
                                           return true;
                                       });
}

}  // namespace

// Processes newest first, as FreeBSD walks its process list; within a
// process its descriptors ascend. Each process is described on its own (a
// large one in pieces), on all the CPUs the caller may use, into its own
// slot; the slots are then joined in order, those of processes that went
// meanwhile empty. The calling process is described first, whole, on the
// calling thread alone: while the other threads work, they hold descriptors
// of the caller's that are not its own. A read that fails for any other
// reason fails the table.
int read_kern_file(NodeArgs, std::string& out) {
    std::vector<int> pids;
    if (int err = list_process_ids(pids); err != 0) return err;
    order_newest_first(pids);
    std::vector<ProcessFiles> processes(pids.size());
    FirstFailure failure;
    const auto self = std::find(pids.begin(), pids.end(), ::getpid());
    if (self != pids.end()) {
        if (int err = describe_process(*self, processes[static_cast<std::size_t>(self - pids.begin())], true);
            err != 0)
            return err;
    }
    for_each_range(pids.size(), kProcessesPerRange, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end && failure.get() == 0; ++i) {
            if (self != pids.end() && i == static_cast<std::size_t>(self - pids.begin())) continue;
            failure.note(describe_process(pids[i], processes[i]));
        }
    });
    std::vector<Piece> pieces;
    for (std::size_t i = 0; i < processes.size(); ++i) {
        for (std::size_t at = 0; at < processes[i].rest.size(); at += kDescriptorsPerPiece)
            pieces.push_back({i, at, std::min(at + kDescriptorsPerPiece, processes[i].rest.size()), {}});
    }
    for_each_range(pieces.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end && failure.get() == 0; ++i)
            failure.note(describe_piece(pids[pieces[i].process], processes[pieces[i].process], pieces[i]));
    });
    if (int err = failure.get(); err != 0) return err;
    std::size_t total = 0;
    for (const ProcessFiles& p : processes) total += p.records.size();
    for (const Piece& p : pieces) total += p.records.size();
    out.reserve(out.size() + total);
    auto piece = pieces.begin();
    for (std::size_t i = 0; i < processes.size(); ++i) {
        out += processes[i].records;
        for (; piece != pieces.end() && piece->process == i; ++piece) out += piece->records;
    }
    return 0;
}

// As sysctl_kern_file: the descriptor slots of every process, which
// overestimates sparse tables; each process's asked on its own, on all the
// CPUs the caller may use.
int size_kern_file(NodeArgs, std::size_t& size) {
    std::vector<int> pids;
    if (int err = list_process_ids(pids); err != 0) return err;
    std::atomic<std::size_t> slots{0};
    FirstFailure failure;
    for_each_range(pids.size(), kProcessesPerRange, [&](std::size_t begin, std::size_t end) {
        std::vector<int> fds;
        std::size_t here = 0;
        for (std::size_t i = begin; i < end && failure.get() == 0; ++i) {
            std::size_t one = 0;
            failure.note(descriptor_slots(pids[i], fds, one));
            here += one;
        }
        slots.fetch_add(here, std::memory_order_relaxed);
    });
    if (int err = failure.get(); err != 0) return err;
    size = slots.load() * sizeof(xfile);
    return 0;
}

int read_tcp_pcblist(NodeArgs, std::string& out) {
    return build_list<xinpgen, xtcpcb>(kTcpTables, Inet::tcp, out, [](const HostSocket& row, xtcpcb& tp) {
        // A connection request without a socket of its own waits in
        // FreeBSD's syncache, not in this list.
        if (connection_request(row)) return false;
        tp.xt_len = sizeof tp;
        fill_inpcb(row, tp.xt_inp);
        tp.t_state = tcp_state(row.host_state);
        return true;
    });
}

int read_udp_pcblist(NodeArgs, std::string& out) {
    return build_list<xinpgen, xinpcb>(kUdpTables, Inet::udp, out, [](const HostSocket& row, xinpcb& inp) {
        fill_inpcb(row, inp);
        return true;
    });
}

int size_tcp_pcblist(NodeArgs, std::size_t& size) { return size_inet_list<xtcpcb>(true, size); }

int size_udp_pcblist(NodeArgs, std::size_t& size) { return size_inet_list<xinpcb>(false, size); }

// As unp_pcblist: both list ends and room for an eighth more records.
int size_local_pcblist(NodeArgs, std::size_t& size) {
    Fd proc = open_host("proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!proc.valid()) return errno;
    std::size_t n = 0;
    if (int err = count_sockets(proc.get(), kUnixTables[0], n); err != 0) return err;
    size = 2 * sizeof(xunpgen) + (n + n / 8) * sizeof(xunpcb);
    return 0;
}

int read_local_stream_pcblist(NodeArgs, std::string& out) { return read_local_list(SOCK_STREAM, out); }
int read_local_dgram_pcblist(NodeArgs, std::string& out) { return read_local_list(SOCK_DGRAM, out); }
int read_local_seqpacket_pcblist(NodeArgs, std::string& out) { return read_local_list(SOCK_SEQPACKET, out); }

}  // namespace compat
