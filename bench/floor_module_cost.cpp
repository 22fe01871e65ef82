// The floor of the module's own cost: each function builds the very Python
// result the module builds (the same lists, tuples, dicts and strings, made
// with the same C API calls and formats), from FreeBSD records that the caller
// hands over as bytes already in memory. No kernel is asked and nothing is copied: what
// is left is reading the records and building the objects, which no walk of
// the module can do with less.
//
// It is a Python extension, called from the same interpreter as the module:
// the same call path, the same object allocator and the same collector see
// both, and a test can compare the two results directly.
#include <Python.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "floor_module_cost_text.h"
#include "freebsd/base.h"
#include "pyref.h"

namespace {

using namespace freebsd;

// The status of a socket without a TCP state (the module's NORVIK_CONN_NONE).
constexpr int kConnNone = 128;

// The records of a bytes argument, read in place.
template <typename Record>
struct Records {
    const Record* data;
    size_t count;
};

template <typename Record>
Records<Record> records_of(PyObject* bytes) {
    return {reinterpret_cast<const Record*>(PyBytes_AS_STRING(bytes)),
            static_cast<size_t>(PyBytes_GET_SIZE(bytes)) / sizeof(Record)};
}

// One bytes argument (the module's functions take theirs as a tuple too).
PyObject* bytes_arg(PyObject* args) {
    PyObject* bytes = nullptr;
    return PyArg_ParseTuple(args, "S", &bytes) ? bytes : nullptr;
}

// A fixed-size text field up to its first NUL.
PyObject* field_text(const char* field, size_t size) {
    return PyUnicode_DecodeFSDefaultAndSize(field, static_cast<Py_ssize_t>(strnlen(field, size)));
}

double seconds(const struct timeval& tv) {
    return static_cast<double>(tv.tv_usec) / 1000000.0 + static_cast<double>(tv.tv_sec);
}

// A list of the rows row(list, record) appends, or NULL with an exception set.
template <typename Record, typename Row>
PyObject* list_from(PyObject* bytes, Row row) {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    const Records<Record> records = records_of<Record>(bytes);
    for (size_t i = 0; i < records.count; ++i)
        if (row(list.get(), records.data[i]) == -1) return nullptr;
    return list.release();
}

// The same, of the records of a one-bytes argument tuple.
template <typename Record, typename Row>
PyObject* list_of(PyObject* args, Row row) {
    PyObject* bytes = bytes_arg(args);
    return bytes == nullptr ? nullptr : list_from<Record>(bytes, row);
}

// ---- Processes ------------------------------------------------------------

PyObject* pids(PyObject*, PyObject* args) {
    return list_of<kinfo_proc>(args, [](PyObject* list, const kinfo_proc& kp) {
        return append_new(list, PyLong_FromLong(kp.ki_pid));
    });
}

PyObject* proc_oneshot_info(PyObject*, PyObject* args) {
    PyObject* bytes = bytes_arg(args);
    if (bytes == nullptr) return nullptr;
    static const long page = sysconf(_SC_PAGESIZE);
    const kinfo_proc& kp = *records_of<kinfo_proc>(bytes).data;
    PyRef name(field_text(kp.ki_comm, sizeof kp.ki_comm));
    if (!name) return nullptr;
    PyRef ppid(PyLong_FromLong(kp.ki_ppid));
    if (!ppid) return nullptr;
    const int cpu = kp.ki_stat == SRUN && kp.ki_oncpu != NOCPU ? kp.ki_oncpu : kp.ki_lastcpu;
    return Py_BuildValue(
        "(OillllllLdllllddddlllllbO)", ppid.get(), static_cast<int>(kp.ki_stat),
        static_cast<long>(kp.ki_ruid), static_cast<long>(kp.ki_uid), static_cast<long>(kp.ki_svuid),
        static_cast<long>(kp.ki_rgid), static_cast<long>(kp.ki_groups[0]), static_cast<long>(kp.ki_svgid),
        static_cast<long long>(kp.ki_tdev), seconds(kp.ki_start), static_cast<long>(kp.ki_rusage.ru_nvcsw),
        static_cast<long>(kp.ki_rusage.ru_nivcsw), static_cast<long>(kp.ki_rusage.ru_inblock),
        static_cast<long>(kp.ki_rusage.ru_oublock), seconds(kp.ki_rusage.ru_utime),
        seconds(kp.ki_rusage.ru_stime), seconds(kp.ki_rusage_ch.ru_utime), seconds(kp.ki_rusage_ch.ru_stime),
        static_cast<long>(kp.ki_rssize * page), static_cast<long>(kp.ki_size),
        static_cast<long>(kp.ki_tsize * page), static_cast<long>(kp.ki_dsize * page),
        static_cast<long>(kp.ki_ssize * page), cpu, name.get());
}

PyObject* proc_threads(PyObject*, PyObject* args) {
    return list_of<kinfo_proc>(args, [](PyObject* list, const kinfo_proc& kp) {
        return append_new(
            list, Py_BuildValue("Idd", static_cast<unsigned int>(kp.ki_tid), seconds(kp.ki_rusage.ru_utime),
                                seconds(kp.ki_rusage.ru_stime)));
    });
}

PyObject* proc_open_files(PyObject*, PyObject* args) {
    return list_of<kinfo_file>(args, [](PyObject* list, const kinfo_file& kf) {
        if (kf.kf_type != KF_TYPE_VNODE || kf.kf_vnode_type != KF_VTYPE_VREG) return 0;
        PyRef path(field_text(kf.kf_path, sizeof kf.kf_path));
        if (!path) return -1;
        return append_new(list, Py_BuildValue("(Oi)", path.get(), kf.kf_fd));
    });
}

PyObject* proc_num_fds(PyObject*, PyObject* args) {
    PyObject* bytes = bytes_arg(args);
    if (bytes == nullptr) return nullptr;
    return Py_BuildValue("i", static_cast<int>(records_of<kinfo_file>(bytes).count));
}

const char* map_type_name(int type) {
    switch (type) {
        case KVME_TYPE_NONE:
            return "[none]";
        case KVME_TYPE_DEFAULT:
            return "[default]";
        case KVME_TYPE_VNODE:
            return "[vnode]";
        case KVME_TYPE_SWAP:
            return "[swap]";
        case KVME_TYPE_DEVICE:
            return "[device]";
        case KVME_TYPE_PHYS:
            return "[phys]";
        case KVME_TYPE_DEAD:
            return "[dead]";
        case KVME_TYPE_SG:
            return "[sg]";
        case KVME_TYPE_UNKNOWN:
            return "[unknown]";
        default:
            return "[?]";
    }
}

PyObject* proc_memory_maps(PyObject*, PyObject* args) {
    return list_of<kinfo_vmentry>(args, [](PyObject* list, const kinfo_vmentry& kve) {
        char addr[40];
        snprintf(addr, sizeof addr, "%#jx-%#jx", static_cast<uintmax_t>(kve.kve_start),
                 static_cast<uintmax_t>(kve.kve_end));
        const char perms[4] = {(kve.kve_protection & KVME_PROT_READ) ? 'r' : '-',
                               (kve.kve_protection & KVME_PROT_WRITE) ? 'w' : '-',
                               (kve.kve_protection & KVME_PROT_EXEC) ? 'x' : '-', '\0'};
        PyRef path(kve.kve_path[0] != '\0' ? field_text(kve.kve_path, sizeof kve.kve_path)
                                           : PyUnicode_DecodeFSDefault(map_type_name(kve.kve_type)));
        if (!path) return -1;
        return append_new(list,
                          Py_BuildValue("ssOiiii", addr, perms, path.get(), kve.kve_resident,
                                        kve.kve_private_resident, kve.kve_ref_count, kve.kve_shadow_count));
    });
}

// ---- Sockets --------------------------------------------------------------

// The records between the two ends of a control block list.
template <typename Record, typename End>
Records<Record> pcb_records(PyObject* bytes) {
    const char* data = PyBytes_AS_STRING(bytes);
    const size_t len = static_cast<size_t>(PyBytes_GET_SIZE(bytes));
    return {reinterpret_cast<const Record*>(data + sizeof(End)), (len - 2 * sizeof(End)) / sizeof(Record)};
}

// The first owner of each socket, as a search from the front of the
// open-file table finds it: an open-addressed table of twice the records'
// count, probed linearly, where a later record of a socket already in it
// is not entered.
class Owners {
public:
    explicit Owners(const Records<xfile>& table) : slots_(slots_for(table.count)), mask_(slots_.size() - 1) {
        for (size_t i = 0; i < table.count; ++i) {
            Slot& slot = slots_[probe(table.data[i].xf_data)];
            if (slot.owner == nullptr) slot = {table.data[i].xf_data, &table.data[i]};
        }
    }
    const xfile* find(kvaddr_t so) const { return slots_[probe(so)].owner; }

private:
    struct Slot {
        kvaddr_t key = 0;
        const xfile* owner = nullptr;
    };
    static size_t slots_for(size_t count) {
        size_t n = 16;
        while (n < 2 * count) n *= 2;
        return n;
    }
    // The slot of the key, or the empty one where it would go.
    size_t probe(kvaddr_t key) const {
        size_t at = (key * 0x9E3779B97F4A7C15ULL >> 17) & mask_;
        while (slots_[at].owner != nullptr && slots_[at].key != key) at = (at + 1) & mask_;
        return at;
    }
    std::vector<Slot> slots_;
    size_t mask_;
};

PyObject* endpoint(bool v6, const void* addr, uint16_t port) {
    char text[64];
    floor_address_text(v6, addr, text, sizeof text);
    return Py_BuildValue("(si)", text, static_cast<int>(floor_port(port)));
}

int add_inet(PyObject* list, const xinpcb& inp, int type, int status, const Owners& owners) {
    const bool v4 = (inp.inp_vflag & INP_IPV4) != 0;
    const bool v6 = (inp.inp_vflag & INP_IPV6) != 0;
    if (!v4 && !v6) return 0;  // both families are asked for: only a block of neither is left out
    const xfile* owner = owners.find(inp.xi_socket.xso_so);
    if (owner == nullptr) return 0;
    const auto& ie = inp.inp_inc.inc_ie;
    const void* laddr = v4 ? static_cast<const void*>(&ie.ie_dependladdr.id46_addr.ia46_addr4)
                           : static_cast<const void*>(&ie.ie_dependladdr.id6_addr);
    const void* faddr = v4 ? static_cast<const void*>(&ie.ie_dependfaddr.id46_addr.ia46_addr4)
                           : static_cast<const void*>(&ie.ie_dependfaddr.id6_addr);
    PyRef local(endpoint(!v4, laddr, ie.ie_lport));
    if (!local) return -1;
    PyRef remote(ie.ie_fport == 0 ? Py_BuildValue("()") : endpoint(!v4, faddr, ie.ie_fport));
    if (!remote) return -1;
    return append_new(list, Py_BuildValue("iiiOOii", owner->xf_fd, v4 ? AF_INET : AF_INET6, type, local.get(),
                                          remote.get(), status, owner->xf_pid));
}

int add_unix(PyObject* list, const xunpcb& xu, int type, const Owners& owners) {
    const xfile* owner = owners.find(xu.xu_socket.xso_so);
    if (owner == nullptr) return 0;
    const auto& sun = xu.xu_addr;
    int count = static_cast<int>(sun.sun_len) - 2;
    if (count < 0 || count > static_cast<int>(sizeof sun.sun_path)) count = sizeof sun.sun_path;
    PyRef path(field_text(sun.sun_path, static_cast<size_t>(count)));
    if (!path) return -1;
    return append_new(list, Py_BuildValue("(iiiOsii)", owner->xf_fd, AF_UNIX, type, path.get(), "", kConnNone,
                                          owner->xf_pid));
}

template <typename Record, typename End, typename Add>
int add_all(PyObject* bytes, Add add) {
    const Records<Record> records = pcb_records<Record, End>(bytes);
    for (size_t i = 0; i < records.count; ++i)
        if (add(records.data[i]) == -1) return -1;
    return 0;
}

// net_connections over the open-file table and the four lists, for the inet
// families (v4 and v6) or the local one: the module's answer when asked for
// both socket types and those families.
PyObject* net_connections(PyObject*, PyObject* args) {
    PyObject *files, *tcp, *udp, *stream, *dgram;
    int inet = 0, local = 0;
    if (!PyArg_ParseTuple(args, "SSSSSii", &files, &tcp, &udp, &stream, &dgram, &inet, &local))
        return nullptr;
    const Records<xfile> table = records_of<xfile>(files);
    const Owners owners(table);
    PyRef owned(PyList_New(0));
    if (!owned) return nullptr;
    PyObject* list = owned.get();
    const bool failed =
        (inet &&
         (add_all<xtcpcb, xinpgen>(tcp,
                                   [&](const xtcpcb& tp) {
                                       return add_inet(list, tp.xt_inp, SOCK_STREAM, tp.t_state, owners);
                                   }) == -1 ||
          add_all<xinpcb, xinpgen>(
              udp, [&](const xinpcb& inp) { return add_inet(list, inp, SOCK_DGRAM, kConnNone, owners); }) ==
              -1)) ||
        (local &&
         (add_all<xunpcb, xunpgen>(
              stream, [&](const xunpcb& xu) { return add_unix(list, xu, SOCK_STREAM, owners); }) == -1 ||
          add_all<xunpcb, xunpgen>(
              dgram, [&](const xunpcb& xu) { return add_unix(list, xu, SOCK_DGRAM, owners); }) == -1));
    return failed ? nullptr : owned.release();
}

// ---- Interfaces -----------------------------------------------------------

// The stand-in's scripted getifaddrs entry: the name, the flags, the three
// socket addresses' lengths and a pad byte, then those addresses.
struct IfaddrsEntry {
    char name[17];
    unsigned flags;
    const unsigned char* addr[3];  // address, netmask, destination; NULL for none
};

const unsigned char* next_entry(const unsigned char* at, IfaddrsEntry& entry) {
    memcpy(entry.name, at, 16);
    entry.name[16] = '\0';
    memcpy(&entry.flags, at + 16, 4);
    const unsigned char* cursor = at + 24;
    for (int i = 0; i < 3; ++i) {
        entry.addr[i] = at[20 + i] != 0 ? cursor : nullptr;
        cursor += at[20 + i];
    }
    return cursor;
}

PyObject* hardware_text(const unsigned char* addr) {
    sockaddr_dl sdl;
    memcpy(&sdl, addr, sizeof sdl);
    if (sdl.sdl_alen == 0) Py_RETURN_NONE;
    static const char hex[] = "0123456789abcdef";
    char text[3 * 256];
    const auto* bytes = reinterpret_cast<const unsigned char*>(LLADDR(&sdl));
    for (int i = 0; i < sdl.sdl_alen; ++i) {
        text[3 * i] = hex[bytes[i] >> 4];
        text[3 * i + 1] = hex[bytes[i] & 0xF];
        text[3 * i + 2] = ':';
    }
    return PyUnicode_FromStringAndSize(text, 3 * sdl.sdl_alen - 1);
}

// An address of the entry's family as text, or None.
PyObject* address_value(const unsigned char* addr, int family) {
    if (addr == nullptr) Py_RETURN_NONE;
    char text[64];
    if (family == AF_INET || family == AF_INET6) {
        floor_address_text(family == AF_INET6, addr + (family == AF_INET ? 4 : 8), text, sizeof text);
        return PyUnicode_FromString(text);
    }
    if (addr[1] == AF_LINK) return hardware_text(addr);
    Py_RETURN_NONE;
}

// One entry's row; None (a new reference) for an entry the module leaves
// out; NULL with an exception set.
PyObject* address_row(const IfaddrsEntry& entry) {
    if (entry.addr[0] == nullptr) Py_RETURN_NONE;
    const int family = entry.addr[0][1];
    PyRef address(address_value(entry.addr[0], family));
    if (!address || address.get() == Py_None) return address.release();
    PyRef netmask(address_value(entry.addr[1], family));
    if (!netmask) return nullptr;
    // The destination is the broadcast address or else the peer's, by the flags.
    const bool broadcasts = entry.flags & IFF_BROADCAST;
    const bool peers = !broadcasts && (entry.flags & IFF_POINTOPOINT);
    PyRef dst(address_value(broadcasts || peers ? entry.addr[2] : nullptr, family));
    if (!dst) return nullptr;
    return Py_BuildValue("(siOOOO)", entry.name, family, address.get(), netmask.get(),
                         broadcasts ? dst.get() : Py_None, peers ? dst.get() : Py_None);
}

PyObject* net_if_addrs(PyObject*, PyObject* args) {
    PyObject* bytes = bytes_arg(args);
    if (bytes == nullptr) return nullptr;
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    const auto* at = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes));
    const auto* end = at + PyBytes_GET_SIZE(bytes);
    while (at < end) {
        IfaddrsEntry entry;
        at = next_entry(at, entry);
        PyRef row(address_row(entry));
        if (!row) return nullptr;
        if (row.get() != Py_None && PyList_Append(list.get(), row.get()) == -1) return nullptr;
    }
    return list.release();
}

PyObject* net_io_counters(PyObject*, PyObject* args) {
    PyObject* bytes = bytes_arg(args);
    if (bytes == nullptr) return nullptr;
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    const char* data = PyBytes_AS_STRING(bytes);
    const size_t len = static_cast<size_t>(PyBytes_GET_SIZE(bytes));
    // Messages follow each other by their own lengths, so one may lie at any
    // offset: its fields are copied out rather than read in place.
    for (size_t pos = 0; pos < len;) {
        const char* msg = data + pos;
        uint16_t msglen = 0;
        memcpy(&msglen, msg + offsetof(if_msghdr, ifm_msglen), sizeof msglen);
        if (static_cast<uint8_t>(msg[offsetof(if_msghdr, ifm_type)]) == RTM_IFINFO) {
            sockaddr_dl sdl;
            memcpy(&sdl, msg + sizeof(if_msghdr), sizeof sdl);
            char name[256];
            memcpy(name, msg + sizeof(if_msghdr) + offsetof(sockaddr_dl, sdl_data), sdl.sdl_nlen);
            name[sdl.sdl_nlen] = '\0';
            if (strncmp(name, "usbus", 5) != 0) {
                if_data d;
                memcpy(&d, msg + offsetof(if_msghdr, ifm_data), sizeof d);
                PyRef counters(Py_BuildValue("(kkkkkkkk)", d.ifi_obytes, d.ifi_ibytes, d.ifi_opackets,
                                             d.ifi_ipackets, d.ifi_ierrors, d.ifi_oerrors, d.ifi_iqdrops,
                                             d.ifi_oqdrops));
                if (!counters || PyDict_SetItemString(dict.get(), name, counters.get()) != 0) return nullptr;
            }
        }
        pos += msglen;
    }
    return dict.release();
}

// ---- Mounts and CPUs ------------------------------------------------------

struct MountOption {
    unsigned long long flag;
    const char* text;
};

// The module's order of the option words.
constexpr MountOption kMountOptions[] = {
    {MNT_SYNCHRONOUS, ",sync"},      {MNT_NOEXEC, ",noexec"},         {MNT_NOSUID, ",nosuid"},
    {MNT_ASYNC, ",async"},           {MNT_NOATIME, ",noatime"},       {MNT_SOFTDEP, ",softdep"},
    {MNT_UNION, ",union"},           {MNT_SUIDDIR, ",suiddir"},       {MNT_NOSYMFOLLOW, ",nosymfollow"},
    {MNT_GJOURNAL, ",gjournal"},     {MNT_MULTILABEL, ",multilabel"}, {MNT_ACLS, ",acls"},
    {MNT_NOCLUSTERR, ",noclusterr"}, {MNT_NOCLUSTERW, ",noclusterw"}, {MNT_NFS4ACLS, ",nfs4acls"},
};

PyObject* disk_partitions(PyObject*, PyObject* args) {
    return list_of<struct statfs>(args, [](PyObject* list, const struct statfs& fs) {
        const unsigned long long flags = fs.f_flags & 0xffffffffULL;
        char options[200];
        char* end = stpcpy(options, (flags & MNT_RDONLY) ? "ro" : "rw");
        for (const auto& option : kMountOptions)
            if (flags & option.flag) end = stpcpy(end, option.text);
        PyRef device(field_text(fs.f_mntfromname, sizeof fs.f_mntfromname));
        if (!device) return -1;
        PyRef mount_point(field_text(fs.f_mntonname, sizeof fs.f_mntonname));
        if (!mount_point) return -1;
        PyRef type(field_text(fs.f_fstypename, sizeof fs.f_fstypename));
        if (!type) return -1;
        return append_new(list,
                          Py_BuildValue("(OOOs)", device.get(), mount_point.get(), type.get(), options));
    });
}

struct CpuTicks {
    long ticks[CPUSTATES];
};

PyObject* per_cpu_times(PyObject*, PyObject* args) {
    PyObject* bytes = nullptr;
    int rate = 0;
    if (!PyArg_ParseTuple(args, "Si", &bytes, &rate)) return nullptr;
    const double hz = rate;
    return list_from<CpuTicks>(bytes, [hz](PyObject* list, const CpuTicks& row) {
        const long* t = row.ticks;
        return append_new(list, Py_BuildValue("(ddddd)", t[CP_USER] / hz, t[CP_NICE] / hz, t[CP_SYS] / hz,
                                              t[CP_IDLE] / hz, t[CP_INTR] / hz));
    });
}

PyObject* cpu_topology(PyObject*, PyObject* args) {
    PyObject* bytes = bytes_arg(args);
    if (bytes == nullptr) return nullptr;
    const char* text = PyBytes_AS_STRING(bytes);
    return PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(strnlen(text, PyBytes_GET_SIZE(bytes))));
}

PyMethodDef methods[] = {
    {"pids", pids, METH_VARARGS, nullptr},
    {"proc_oneshot_info", proc_oneshot_info, METH_VARARGS, nullptr},
    {"proc_threads", proc_threads, METH_VARARGS, nullptr},
    {"proc_open_files", proc_open_files, METH_VARARGS, nullptr},
    {"proc_num_fds", proc_num_fds, METH_VARARGS, nullptr},
    {"proc_memory_maps", proc_memory_maps, METH_VARARGS, nullptr},
    {"net_connections", net_connections, METH_VARARGS, nullptr},
    {"net_if_addrs", net_if_addrs, METH_VARARGS, nullptr},
    {"net_io_counters", net_io_counters, METH_VARARGS, nullptr},
    {"disk_partitions", disk_partitions, METH_VARARGS, nullptr},
    {"per_cpu_times", per_cpu_times, METH_VARARGS, nullptr},
    {"cpu_topology", cpu_topology, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_norvik_floor_cost", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__norvik_floor_cost(void) { return PyModule_Create(&module); }
