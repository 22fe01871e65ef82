// net_connections: every TCP, UDP and unix-domain socket of the system that
// some descriptor refers to, with the process and descriptor that own it.
#include "arch/freebsd/net_connections.h"

#include <new>

#include "arch/freebsd/net_sockets.h"
#include "methods.h"
#include "norvik.h"
#include "owned.h"
#include "pyref.h"

namespace {

constexpr size_t kFirstListSize = 8192;
constexpr int kListRereads = 5;

// The two kinds of list ends.
uint64_t end_length(const struct xinpgen& g) { return g.xig_len; }
uint64_t end_generation(const struct xinpgen& g) { return g.xig_gen; }
uint64_t end_length(const struct xunpgen& g) { return g.xug_len; }
uint64_t end_generation(const struct xunpgen& g) { return g.xug_gen; }

// A list as read: the records lie between its two ends.
struct PcbList {
    FreedPtr<char> data;
    size_t first = 0;  // offset of the first record
    size_t end = 0;    // offset of the trailing end record
};

// Reads a control block list whole, growing the buffer by doubling, and again
// (at most five times) while its two ends disagree on the generation: the
// list changed while it was copied out. Returns 0, or -1 with an exception.
template <typename End>
int read_pcb_list(const char* name, PcbList& list) {
    size_t size = kFirstListSize;
    int rereads = kListRereads;
    for (;;) {
        void* grown = realloc(list.data.get(), size);
        if (grown == nullptr) {
            list.data.reset();
            PyErr_NoMemory();
            return -1;
        }
        list.data.release();
        list.data.reset(static_cast<char*>(grown));
        size_t len = size;
        if (sysctlbyname(name, list.data.get(), &len, nullptr, 0) == -1) {
            if (errno != ENOMEM) {
                norvik_oserror();
                return -1;
            }
            if (size > SIZE_MAX / 2) {
                PyErr_NoMemory();
                return -1;
            }
            size *= 2;
            continue;
        }
        // Both ends must be there, whole, and of their own size.
        End head{}, tail{};
        if (len < 2 * sizeof(End) || len > size) {
            norvik_runtime_error("struct xinpgen size mismatch");
            return -1;
        }
        memcpy(&head, list.data.get(), sizeof head);
        memcpy(&tail, list.data.get() + len - sizeof tail, sizeof tail);
        if (end_length(head) != sizeof(End) || end_length(tail) != sizeof(End)) {
            norvik_runtime_error("struct xinpgen size mismatch");
            return -1;
        }
        if (end_generation(head) != end_generation(tail) && rereads-- > 0) continue;
        list.first = sizeof(End);
        list.end = len - sizeof(End);
        return 0;
    }
}

// Calls visit(record) for each record of the list, each `Record` of exactly
// its own size (`what` names it in the error). Returns 0, or -1 with an
// exception set (a record of another size, or one that visit failed on).
template <typename Record, typename Visit>
int walk_records(const PcbList& list, uint64_t Record::* length, const char* what, Visit visit) {
    for (size_t pos = list.first; pos < list.end;) {
        const auto* record = reinterpret_cast<const Record*>(list.data.get() + pos);
        // A record that would reach into the trailing end is cut short.
        if (list.end - pos < sizeof(Record) || record->*length != sizeof(Record)) {
            norvik_runtime_error("%s size mismatch", what);
            return -1;
        }
        if (visit(*record) == -1) return -1;
        pos += sizeof(Record);
    }
    return 0;
}

// One inet record's tuple, appended when it passes the family filter and
// has an owner. Returns 0, or -1 with an exception set.
int add_inet(const struct xinpcb& inp, int type, int status, int include_v4, int include_v6, PyObject* list,
             const SocketOwners& owners) {
    const bool v4 = (inp.inp_vflag & INP_IPV4) != 0;
    const bool v6 = (inp.inp_vflag & INP_IPV6) != 0;
    if ((v4 && !include_v4) || (v6 && !include_v6)) return 0;
    // A block of neither family has no addresses to show.
    if (!v4 && !v6) return 0;
    const struct xfile* owner = owners.find(inp.xi_socket.xso_so);
    if (owner == nullptr) return 0;
    const auto& ie = inp.inp_inc.inc_ie;
    const int family = v4 ? AF_INET : AF_INET6;
    const void* laddr = v4 ? static_cast<const void*>(&ie.ie_dependladdr.id46_addr.ia46_addr4)
                           : static_cast<const void*>(&ie.ie_dependladdr.id6_addr);
    const void* faddr = v4 ? static_cast<const void*>(&ie.ie_dependfaddr.id46_addr.ia46_addr4)
                           : static_cast<const void*>(&ie.ie_dependfaddr.id6_addr);
    PyObject* local = norvik_inet_endpoint(family, laddr, ie.ie_lport);
    if (local == nullptr) return -1;
    PyObject* remote = norvik_inet_remote(family, faddr, ie.ie_fport);
    if (remote == nullptr) {
        Py_DECREF(local);
        return -1;
    }
    // The tuple takes over both address values, also when building it fails.
    return append_new(
        list, Py_BuildValue("iiiNNii", owner->xf_fd, family, type, local, remote, status, owner->xf_pid));
}

}  // namespace

SocketOwners::SocketOwners(const struct xfile* xfiles, int count) : xfiles_(xfiles) {
    index_.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) index_.add(xfiles[i].xf_data, static_cast<size_t>(i));
}

const struct xfile* SocketOwners::find(kvaddr_t so) const {
    const long at = index_.find(so);
    return at < 0 ? nullptr : &xfiles_[at];
}

int norvik_fetch_xfiles(struct xfile** xfiles, int* count) {
    size_t size = sizeof(struct xfile);
    size_t len = size;
    while (sysctlbyname("kern.file", *xfiles, &len, nullptr, 0) == -1) {
        if (errno != ENOMEM) {
            norvik_oserror();
            return -1;
        }
        void* grown = size > SIZE_MAX / 2 ? nullptr : realloc(*xfiles, size * 2);
        if (grown == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        size *= 2;
        *xfiles = static_cast<struct xfile*>(grown);
        len = size;
    }
    // A length beyond the buffer was never copied into it.
    if (len > size || (len != 0 && (*xfiles)[0].xf_size != sizeof(struct xfile))) {
        norvik_runtime_error("struct xfile size mismatch");
        return -1;
    }
    *count = static_cast<int>(len / sizeof(struct xfile));
    return 0;
}

int norvik_gather_inet(int proto, int include_v4, int include_v6, PyObject* list,
                       const SocketOwners& owners) {
    if (proto != IPPROTO_TCP && proto != IPPROTO_UDP) {
        norvik_runtime_error("invalid proto");
        return -1;
    }
    PcbList pcbs;
    if (proto == IPPROTO_TCP) {
        if (read_pcb_list<struct xinpgen>("net.inet.tcp.pcblist", pcbs) == -1) return -1;
        return walk_records(pcbs, &xtcpcb::xt_len, "struct xtcpcb", [&](const struct xtcpcb& tp) {
            return add_inet(tp.xt_inp, SOCK_STREAM, tp.t_state, include_v4, include_v6, list, owners);
        });
    }
    if (read_pcb_list<struct xinpgen>("net.inet.udp.pcblist", pcbs) == -1) return -1;
    return walk_records(pcbs, &xinpcb::xi_len, "struct xinpcb", [&](const struct xinpcb& inp) {
        return add_inet(inp, SOCK_DGRAM, NORVIK_CONN_NONE, include_v4, include_v6, list, owners);
    });
}

int norvik_gather_unix(int proto, PyObject* list, const SocketOwners& owners) {
    const int type = proto == SOCK_STREAM ? SOCK_STREAM : SOCK_DGRAM;
    PcbList pcbs;
    if (read_pcb_list<struct xunpgen>(
            type == SOCK_STREAM ? "net.local.stream.pcblist" : "net.local.dgram.pcblist", pcbs) == -1)
        return -1;
    return walk_records(pcbs, &xunpcb::xu_len, "struct xunpcb", [&](const struct xunpcb& xu) {
        const struct xfile* owner = owners.find(xu.xu_socket.xso_so);
        if (owner == nullptr) return 0;
        PyRef path(norvik_unix_path(xu.xu_addr));
        if (!path) return -1;
        return append_new(list, Py_BuildValue("(iiiOsii)", owner->xf_fd, AF_UNIX, proto, path.get(), "",
                                              NORVIK_CONN_NONE, owner->xf_pid));
    });
}

PyObject* norvik_net_connections(PyObject*, PyObject* args) noexcept {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    PyObject* families = nullptr;
    PyObject* types = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &families, &types)) return nullptr;
    if (norvik_check_filters(families, types) == -1) return nullptr;
    const int want_v4 = norvik_filter_has(families, AF_INET);
    if (want_v4 == -1) return nullptr;
    const int want_v6 = norvik_filter_has(families, AF_INET6);
    if (want_v6 == -1) return nullptr;
    const int want_unix = norvik_filter_has(families, AF_UNIX);
    if (want_unix == -1) return nullptr;
    const int want_tcp = norvik_filter_has(types, SOCK_STREAM);
    if (want_tcp == -1) return nullptr;
    const int want_udp = norvik_filter_has(types, SOCK_DGRAM);
    if (want_udp == -1) return nullptr;

    FreedPtr<struct xfile> xfiles(static_cast<struct xfile*>(malloc(sizeof(struct xfile))));
    if (!xfiles) return PyErr_NoMemory();
    struct xfile* raw = xfiles.release();
    int count = 0;
    const int fetched = norvik_fetch_xfiles(&raw, &count);
    xfiles.reset(raw);
    if (fetched == -1) return nullptr;
    if (!want_tcp && !want_udp && !want_unix) return list.release();
    try {
        const SocketOwners owners(xfiles.get(), count);
        if (want_tcp && norvik_gather_inet(IPPROTO_TCP, want_v4, want_v6, list.get(), owners) == -1)
            return nullptr;
        if (want_udp && norvik_gather_inet(IPPROTO_UDP, want_v4, want_v6, list.get(), owners) == -1)
            return nullptr;
        if (want_unix && (norvik_gather_unix(SOCK_STREAM, list.get(), owners) == -1 ||
                          norvik_gather_unix(SOCK_DGRAM, list.get(), owners) == -1))
            return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return list.release();
}
