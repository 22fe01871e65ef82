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
#include <cstring>
#include <vector>

#include "freebsd/netinet/in_pcb.h"
#include "freebsd/netinet/tcp_var.h"
#include "freebsd/sys/file.h"
#include "freebsd/sys/unpcb.h"
#include "linux/host_sockets.h"
#include "kern/nodes.h"
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

// The kind of file a descriptor's link text names, and its identity.
void classify(std::string_view target, int pid, int fd, xfile& xf) {
    xf.xf_data = descriptor_identity(pid, fd);
    if (starts_with(target, "socket:")) {
        xf.xf_type = DTYPE_SOCKET;
        xf.xf_data = bracket_number(target);
    } else if (starts_with(target, "pipe:")) {
        xf.xf_type = DTYPE_PIPE;
    } else if (starts_with(target, "anon_inode:")) {
        if (target.find("eventfd") != std::string_view::npos)
            xf.xf_type = DTYPE_EVENTFD;
        else if (target.find("eventpoll") != std::string_view::npos)
            xf.xf_type = DTYPE_KQUEUE;
        else if (target.find("pidfd") != std::string_view::npos)
            xf.xf_type = DTYPE_PROCDESC;
        else
            xf.xf_type = DTYPE_VNODE;
    } else {
        xf.xf_type = DTYPE_VNODE;
    }
}

// Appends one record per descriptor of the process; a process or descriptor
// that goes meanwhile, or that the host will not show, is left out. Returns
// 0, or the errno of a read that failed otherwise (which fails the table).
int append_process_files(int pid, std::vector<int>& fds, std::string& out) {
    Fd dir;
    if (int err = open_process_dir(pid, dir); err != 0) return skip_if_gone_or_refused(err);
    struct stat st{};
    if (::fstat(dir.get(), &st) != 0) return skip_if_gone_or_refused(errno);
    const std::uint32_t uid = st.st_uid;
    Fd fd_dir;
    fds.clear();
    if (int err = list_descriptors(dir.get(), fd_dir, fds); err != 0) return skip_if_gone_or_refused(err);
    char link_name[16];
    char target[4097];
    for (int fd : fds) {
        auto [end, ec] = std::to_chars(link_name, link_name + sizeof link_name - 1, fd);
        *end = '\0';
        const ssize_t n = ::readlinkat(fd_dir.get(), link_name, target, sizeof target);
        if (n < 0) {
            if (int err = skip_if_gone_or_refused(errno); err != 0) return err;
            continue;  // closed meanwhile, or one the host will not show
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

// ---- control block lists ----------------------------------------------------

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

// Builds a whole list: leading generation record, one record per row that
// fill(row, record) accepts, trailing generation record.
template <typename Gen, typename Record, typename Fill>
int build_list(std::initializer_list<const char*> tables, bool inet, std::string& out, Fill fill) {
    Fd proc = open_host("proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!proc.valid()) return errno;
    const std::uint64_t generation = list_generation.fetch_add(1, std::memory_order_relaxed);
    out.append(sizeof(Gen), '\0');
    std::size_t count = 0;
    HostSocket row;
    Record record;
    for (const char* name : tables) {
        const InetTable* table = nullptr;
        for (const InetTable& t : inet_tables())
            if (std::strcmp(t.name, name) == 0) table = &t;
        const int err = for_each_table_row(proc.get(), name, [&](std::string_view line) {
            const bool parsed = inet ? parse_inet_row(line, *table, row) : parse_unix_row(line, row);
            std::memset(&record, 0, sizeof record);
            if (parsed && fill(row, record)) {
                append_value(out, record);
                ++count;
            }
            return true;
        });
        if (err != 0) return err;
    }
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

// The rows of the tables: what a size question counts. Returns 0 or an errno.
int count_rows(std::initializer_list<const char*> tables, std::size_t& rows) {
    Fd proc = open_host("proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!proc.valid()) return errno;
    rows = 0;
    for (const char* name : tables) {
        for_each_table_row(proc.get(), name, [&](std::string_view) {
            ++rows;
            return true;
        });
    }
    return 0;
}

// The size answer of an inet list, as tcp_pcblist and udp_pcblist give it:
// both list ends and room for an eighth more records, at least ten.
template <typename Record>
int size_inet_list(std::initializer_list<const char*> tables, std::size_t& size) {
    std::size_t n = 0;
    if (int err = count_rows(tables, n); err != 0) return err;
    n += std::max<std::size_t>(n / 8, 10);
    size = 2 * sizeof(xinpgen) + n * sizeof(Record);
    return 0;
}

// A process's descriptor slots (FDSize of its status), which FreeBSD's
// kern.file sizes from; its open descriptors where the host gives no count.
std::size_t descriptor_slots(int pid, std::vector<int>& fds) {
    Fd dir;
    if (open_process_dir(pid, dir) != 0) return 0;
    FileText status;
    std::size_t slots = 0;
    if (status.read_at(dir.get(), "status") == 0 &&
        leading_numbers(key_value(status.view(), "FDSize"), &slots, 1) == 1)
        return slots;
    Fd fd_dir;
    fds.clear();
    return list_descriptors(dir.get(), fd_dir, fds) == 0 ? fds.size() : 0;
}

int read_local_list(int type, std::string& out) {
    return build_list<xunpgen, xunpcb>({"net/unix"}, false, out, [type](const HostSocket& row, xunpcb& u) {
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
// process its descriptors ascend.
int read_kern_file(NodeArgs, std::string& out) {
    std::vector<int> pids;
    if (int err = list_process_ids(pids); err != 0) return err;
    order_newest_first(pids);
    std::vector<int> fds;
    for (int pid : pids) {
        if (int err = append_process_files(pid, fds, out); err != 0) return err;
    }
    return 0;
}

// As sysctl_kern_file: the descriptor slots of every process, which
// overestimates sparse tables.
int size_kern_file(NodeArgs, std::size_t& size) {
    std::vector<int> pids;
    if (int err = list_process_ids(pids); err != 0) return err;
    std::vector<int> fds;
    std::size_t slots = 0;
    for (int pid : pids) slots += descriptor_slots(pid, fds);
    size = slots * sizeof(xfile);
    return 0;
}

int read_tcp_pcblist(NodeArgs, std::string& out) {
    return build_list<xinpgen, xtcpcb>({"net/tcp", "net/tcp6"}, true, out,
                                       [](const HostSocket& row, xtcpcb& tp) {
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
    return build_list<xinpgen, xinpcb>({"net/udp", "net/udp6"}, true, out,
                                       [](const HostSocket& row, xinpcb& inp) {
                                           fill_inpcb(row, inp);
                                           return true;
                                       });
}

int size_tcp_pcblist(NodeArgs, std::size_t& size) {
    return size_inet_list<xtcpcb>({"net/tcp", "net/tcp6"}, size);
}

int size_udp_pcblist(NodeArgs, std::size_t& size) {
    return size_inet_list<xinpcb>({"net/udp", "net/udp6"}, size);
}

// As unp_pcblist: both list ends and room for an eighth more records.
int size_local_pcblist(NodeArgs, std::size_t& size) {
    std::size_t n = 0;
    if (int err = count_rows({"net/unix"}, n); err != 0) return err;
    size = 2 * sizeof(xunpgen) + (n + n / 8) * sizeof(xunpcb);
    return 0;
}

int read_local_stream_pcblist(NodeArgs, std::string& out) { return read_local_list(SOCK_STREAM, out); }
int read_local_dgram_pcblist(NodeArgs, std::string& out) { return read_local_list(SOCK_DGRAM, out); }
int read_local_seqpacket_pcblist(NodeArgs, std::string& out) { return read_local_list(SOCK_SEQPACKET, out); }

}  // namespace compat
