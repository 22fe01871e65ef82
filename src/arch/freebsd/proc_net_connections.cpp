// proc_net_connections: the sockets one process has open, with the TCP state
// of its stream sockets from the system's TCP control block list.
#include <compare>
#include <new>

#include "arch/freebsd/first_index.h"
#include "arch/freebsd/net_sockets.h"
#include "arch/freebsd/proc_table.h"
#include "methods.h"
#include "norvik.h"
#include "owned.h"
#include "pyref.h"

namespace {

// A TCP list read may fail with ENOMEM when connections open between the
// size question and the read; it is asked again, a bounded number of times.
constexpr int kTcpListReads = 8;

// What identifies a TCP connection: family, protocol, whether it carries
// IPv4 (an IPv6 socket may), both ports (network order) and both addresses
// (an IPv4 address in the first four bytes).
struct Connection {
    int family = 0;
    int protocol = 0;
    bool ipv4 = false;
    uint16_t lport = 0;
    uint16_t fport = 0;
    unsigned char laddr[16] = {};
    unsigned char faddr[16] = {};
    auto operator<=>(const Connection&) const = default;
};

struct ConnectionHash {
    size_t operator()(const Connection& c) const {
        uint64_t words[4];
        memcpy(words, c.laddr, sizeof c.laddr);
        memcpy(words + 2, c.faddr, sizeof c.faddr);
        uint64_t h = (static_cast<uint64_t>(static_cast<uint32_t>(c.family)) << 32) ^
                     static_cast<uint32_t>(c.protocol) ^ (static_cast<uint64_t>(c.lport) << 16) ^
                     (static_cast<uint64_t>(c.fport) << 48) ^ (c.ipv4 ? 1 : 0);
        for (uint64_t w : words) h = (h ^ w) * 0x100000001B3ULL + (h >> 29);
        return static_cast<size_t>(h);
    }
};

// An inet descriptor's two ends: addresses (4 or 16 bytes) and ports in
// network order, from its sockaddr_in or sockaddr_in6 records.
struct Ends {
    const void* laddr;
    const void* faddr;
    size_t addr_len;
    uint16_t lport;
    uint16_t fport;
};

bool v4_mapped(const unsigned char* addr) {
    static const unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return memcmp(addr, kPrefix, sizeof kPrefix) == 0;
}

bool unspecified(const unsigned char* addr) {
    static const unsigned char kZero[16] = {};
    return memcmp(addr, kZero, sizeof kZero) == 0;
}

Ends ends_of(const struct kinfo_file& kf) {
    if (kf.kf_sock_domain == AF_INET) {
        const auto* local = reinterpret_cast<const struct sockaddr_in*>(&kf.kf_sa_local);
        const auto* peer = reinterpret_cast<const struct sockaddr_in*>(&kf.kf_sa_peer);
        return {&local->sin_addr, &peer->sin_addr, 4, local->sin_port, peer->sin_port};
    }
    const auto* local = reinterpret_cast<const struct sockaddr_in6*>(&kf.kf_sa_local);
    const auto* peer = reinterpret_cast<const struct sockaddr_in6*>(&kf.kf_sa_peer);
    return {&local->sin6_addr, &peer->sin6_addr, 16, local->sin6_port, peer->sin6_port};
}

// The state of the first stream record of each connection, in list order.
class TcpStates {
public:
    // Reads "net.inet.tcp.pcblist". Returns 0, or -1 with OSError set.
    int read();
    // Builds the index; may throw std::bad_alloc.
    void index();
    // The state of the descriptor's connection, or NORVIK_CONN_NONE.
    int state_of(const struct kinfo_file& kf) const;

private:
    FreedPtr<char> data_;
    size_t len_ = 0;
    std::vector<int> states_;
    FirstIndex<Connection, ConnectionHash> index_;
};

int TcpStates::read() {
    for (int attempt = 1;; ++attempt) {
        size_t size = 0;
        if (sysctlbyname("net.inet.tcp.pcblist", nullptr, &size, nullptr, 0) == -1) {
            norvik_oserror();
            return -1;
        }
        // After a list that grew, room for a little more growth.
        if (attempt > 1) size += size / 4 + 8 * sizeof(struct xtcpcb);
        data_.reset(static_cast<char*>(malloc(size == 0 ? 1 : size)));
        if (!data_) {
            errno = ENOMEM;
            norvik_oserror();
            return -1;
        }
        len_ = size;
        if (sysctlbyname("net.inet.tcp.pcblist", data_.get(), &len_, nullptr, 0) == 0) {
            if (len_ > size) len_ = size;
            return 0;
        }
        if (errno != ENOMEM || attempt == kTcpListReads) {
            norvik_oserror();
            return -1;
        }
    }
}

void TcpStates::index() {
    if (len_ < sizeof(uint64_t)) return;
    uint64_t head = 0;
    memcpy(&head, data_.get(), sizeof head);
    // From the first record to the trailing end record (64 bytes or less),
    // never past the data read, nor through a record cut short.
    for (size_t pos = head; pos <= len_ - sizeof(uint64_t);) {
        uint64_t length = 0;
        memcpy(&length, data_.get() + pos, sizeof length);
        if (length <= sizeof(struct xinpgen) || length > len_ - pos || length < sizeof(struct xtcpcb)) break;
        // Records follow each other by their own lengths, so one may lie at
        // any offset: it is copied out rather than read in place.
        struct xtcpcb tp;
        memcpy(&tp, data_.get() + pos, sizeof tp);
        const struct xinpcb& inp = tp.xt_inp;
        if (inp.xi_socket.so_type == SOCK_STREAM) {
            Connection c;
            c.family = inp.xi_socket.xso_family;
            c.protocol = inp.xi_socket.xso_protocol;
            const auto& ie = inp.inp_inc.inc_ie;
            c.lport = ie.ie_lport;
            c.fport = ie.ie_fport;
            // An IPv6 socket that carries IPv4 traffic keeps IPv4 addresses.
            c.ipv4 = c.family == AF_INET || (inp.inp_vflag & (INP_IPV4 | INP_IPV6)) == INP_IPV4;
            if (c.ipv4) {
                memcpy(c.laddr, &ie.ie_dependladdr.id46_addr.ia46_addr4, 4);
                memcpy(c.faddr, &ie.ie_dependfaddr.id46_addr.ia46_addr4, 4);
            } else {
                memcpy(c.laddr, &ie.ie_dependladdr.id6_addr, 16);
                memcpy(c.faddr, &ie.ie_dependfaddr.id6_addr, 16);
            }
            index_.add(c, states_.size());
            states_.push_back(tp.t_state);
        }
        pos += length;
    }
}

int TcpStates::state_of(const struct kinfo_file& kf) const {
    Connection c;
    c.family = kf.kf_sock_domain;
    c.protocol = kf.kf_sock_protocol;
    const Ends ends = ends_of(kf);
    c.lport = ends.lport;
    c.fport = ends.fport;
    // An IPv6 socket bound to an IPv4-mapped address (::ffff:a.b.c.d), and
    // connected to one or to none, carries IPv4 traffic: its control block
    // holds the IPv4 addresses the mapped ones carry.
    const auto* local = static_cast<const unsigned char*>(ends.laddr);
    const auto* peer = static_cast<const unsigned char*>(ends.faddr);
    if (c.family == AF_INET6 && v4_mapped(local) && (v4_mapped(peer) || unspecified(peer))) {
        c.ipv4 = true;
        memcpy(c.laddr, local + 12, 4);
        memcpy(c.faddr, peer + 12, 4);
    } else {
        c.ipv4 = c.family == AF_INET;
        memcpy(c.laddr, ends.laddr, ends.addr_len);
        memcpy(c.faddr, ends.faddr, ends.addr_len);
    }
    const long at = index_.find(c);
    return at < 0 ? NORVIK_CONN_NONE : states_[static_cast<size_t>(at)];
}

// One inet descriptor's tuple, or NULL with an exception set.
PyObject* inet_tuple(const struct kinfo_file& kf, int status) {
    const int family = kf.kf_sock_domain;
    const Ends ends = ends_of(kf);
    PyObject* local = norvik_inet_endpoint(family, ends.laddr, ends.lport);
    if (local == nullptr) return nullptr;
    PyObject* remote = norvik_inet_remote(family, ends.faddr, ends.fport);
    if (remote == nullptr) {
        Py_DECREF(local);
        return nullptr;
    }
    return Py_BuildValue("(iiiNNi)", kf.kf_fd, family, kf.kf_sock_type, local, remote, status);
}

// One descriptor's tuple appended when the filters let it through. Returns
// 0, or -1 with an exception set.
int add_descriptor(const struct kinfo_file& kf, PyObject* families, PyObject* types, const TcpStates& tcp,
                   PyObject* list) {
    if (kf.kf_type != KF_TYPE_SOCKET) return 0;
    int has = norvik_filter_has(families, kf.kf_sock_domain);
    if (has != 1) return has;
    has = norvik_filter_has(types, kf.kf_sock_type);
    if (has != 1) return has;
    if (kf.kf_sock_domain == AF_UNIX) {
        PyRef path(norvik_unix_path(*reinterpret_cast<const struct sockaddr_un*>(&kf.kf_sa_local)));
        if (!path) return -1;
        return append_new(list, Py_BuildValue("(iiiOsi)", kf.kf_fd, kf.kf_sock_domain, kf.kf_sock_type,
                                              path.get(), "", NORVIK_CONN_NONE));
    }
    if (kf.kf_sock_domain != AF_INET && kf.kf_sock_domain != AF_INET6) return 0;
    const int status = kf.kf_sock_type == SOCK_STREAM ? tcp.state_of(kf) : NORVIK_CONN_NONE;
    return append_new(list, inet_tuple(kf, status));
}

}  // namespace

PyObject* norvik_proc_net_connections(PyObject*, PyObject* args) noexcept {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    int pid = 0;
    PyObject* families = nullptr;
    PyObject* types = nullptr;
    if (!PyArg_ParseTuple(args, "iOO", &pid, &families, &types)) return nullptr;
    if (norvik_check_filters(families, types) == -1) return nullptr;
    errno = 0;
    int count = 0;
    FreedPtr<struct kinfo_file> files(kinfo_getfile(pid, &count));
    if (!files) return norvik_raise_for_pid(pid, "kinfo_getfile()");
    try {
        TcpStates tcp;
        if (tcp.read() == -1) return nullptr;
        tcp.index();
        for (int i = 0; i < count; ++i) {
            if (add_descriptor(files.get()[i], families, types, tcp, list.get()) == -1) return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return list.release();
}
