// Flags, MTU and media of one interface, each asked with one ioctl on a
// throw-away datagram socket.
#include "arch/all/str.h"
#include "arch/posix/net_if.h"
#include "methods.h"
#include "norvik.h"
#include "pyref.h"

namespace {

// The query socket, closed on every path.
class QuerySocket {
public:
    QuerySocket() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {}
    QuerySocket(const QuerySocket&) = delete;
    QuerySocket& operator=(const QuerySocket&) = delete;
    ~QuerySocket() {
        if (fd_ != -1) close(fd_);
    }
    bool valid() const { return fd_ != -1; }
    int get() const { return fd_; }

private:
    int fd_;
};

struct FlagName {
    int bit;
    const char* name;
};

// In the order the names are reported: "multicast" before "oactive".
constexpr FlagName kFlagNames[] = {
    {IFF_UP, "up"},
    {IFF_BROADCAST, "broadcast"},
    {IFF_DEBUG, "debug"},
    {IFF_LOOPBACK, "loopback"},
    {IFF_POINTOPOINT, "pointopoint"},
    {IFF_RUNNING, "running"},
    {IFF_NOARP, "noarp"},
    {IFF_PROMISC, "promisc"},
    {IFF_ALLMULTI, "allmulti"},
    {IFF_MULTICAST, "multicast"},
    {IFF_OACTIVE, "oactive"},
    {IFF_SIMPLEX, "simplex"},
    {IFF_LINK0, "link0"},
    {IFF_LINK1, "link1"},
    {IFF_LINK2, "link2"},
};

// Link speeds in Mbit/s of every Ethernet subtype FreeBSD defines, from
// subtype 3 on (extended subtypes included); 0 where the medium says none.
constexpr int kEthernetSpeeds[] = {
    10,     10,     10,     100,    100,    100,    100,    100,    1000,   10,      // 3-12
    10,     1000,   1000,   1000,   1,      10000,  10000,  10000,  2500,   10000,   // 13-22
    10000,  10000,  0,      10000,  40000,  40000,  40000,  1000,   0,      10000,   // 23-32
    10000,  10000,  20000,  2500,   2500,   5000,   50000,  25000,  1000,   10000,   // 33-42
    40000,  1000,   40000,  10000,  100000, 100000, 100000, 100000, 56000,  100,     // 43-52
    25000,  25000,  25000,  50000,  50000,  25000,  10000,  25000,  25000,  100,     // 53-62
    2500,   5000,   25000,  25000,  25000,  25000,  5000,   5000,   25000,  40000,   // 63-72
    40000,  40000,  50000,  50000,  50000,  50000,  50000,  50000,  50000,  50000,   // 73-82
    50000,  50000,  50000,  25000,  50000,  50000,  100000, 100000, 100000, 100000,  // 83-92
    100000, 100000, 100000, 100000, 100000, 100000, 100000, 100000, 100000, 100000,  // 93-102
    200000, 200000, 200000, 200000, 200000, 200000, 200000, 200000, 200000, 200000,  // 103-112
    400000, 400000, 400000, 400000, 400000, 50000,  40000,                           // 113-119
};
static_assert(sizeof kEthernetSpeeds / sizeof kEthernetSpeeds[0] == 117);

constexpr int kWirelessSpeeds[] = {1, 2, 1, 2, 5, 11, 22};  // subtypes 3-9; 5.5 Mbit/s counts as 5

constexpr int kFirstSubtype = 3;

template <size_t N>
int speed_of(const int (&table)[N], int subtype) {
    const int i = subtype - kFirstSubtype;
    return i >= 0 && i < static_cast<int>(N) ? table[i] : 0;
}

// The calls a failure message names; without them the OSError carries the
// system's text alone.
struct Calls {
    const char* socket;
    const char* ioctl;
};
constexpr Calls kFlagsCalls[] = {{"socket(SOCK_DGRAM)", "ioctl(SIOCGIFFLAGS)"}};

// Raises OSError from errno, naming the call when there is one.
bool fail_with(const char* call) {
    if (call == nullptr)
        norvik_oserror();
    else
        norvik_oserror_wsyscall(call);
    return false;
}

// Parses the interface name and asks one request about it on a throw-away
// socket, the name cut to what the field holds. False with an exception set
// when the name, the socket or the request fails.
bool ask_interface(PyObject* args, unsigned long request, struct ifreq& req, const Calls* calls) {
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) return false;
    QuerySocket sock;
    if (!sock.valid()) return fail_with(calls == nullptr ? nullptr : calls->socket);
    memset(&req, 0, sizeof req);
    str_copy(req.ifr_name, sizeof req.ifr_name, name);
    if (ioctl(sock.get(), request, &req) == -1) return fail_with(calls == nullptr ? nullptr : calls->ioctl);
    return true;
}

}  // namespace

int norvik_get_nic_speed(int ifm_active) {
    const int type = ifm_active & IFM_NMASK;
    if (type == IFM_IEEE80211) return speed_of(kWirelessSpeeds, ifm_active & IFM_TMASK);
    if (type != IFM_ETHER) return 0;
    // Subtypes above 31 keep their high bits in the extended-subtype field.
    const int subtype = (ifm_active & IFM_TMASK) | ((ifm_active & IFM_ETH_XTYPE) >> IFM_ETH_XSHIFT);
    return speed_of(kEthernetSpeeds, subtype);
}

int norvik_append_flag(PyObject* py_retlist, const char* flag_name) {
    PyRef name(PyUnicode_FromString(flag_name));
    if (!name || PyList_Append(py_retlist, name.get()) != 0) return 0;
    return 1;
}

PyObject* norvik_net_if_mtu(PyObject*, PyObject* args) noexcept {
    struct ifreq req;
    if (!ask_interface(args, SIOCGIFMTU, req, nullptr)) return nullptr;
    return Py_BuildValue("i", req.ifr_ifru.ifru_mtu);
}

PyObject* norvik_net_if_is_running(PyObject*, PyObject* args) noexcept {
    struct ifreq req;
    if (!ask_interface(args, SIOCGIFFLAGS, req, nullptr)) return nullptr;
    return PyBool_FromLong((req.ifr_ifru.ifru_flags[0] & IFF_RUNNING) != 0);
}

PyObject* norvik_net_if_flags(PyObject*, PyObject* args) noexcept {
    struct ifreq req;
    if (!ask_interface(args, SIOCGIFFLAGS, req, kFlagsCalls)) return nullptr;
    const unsigned flags = static_cast<unsigned short>(req.ifr_ifru.ifru_flags[0]);
    PyRef result(PyList_New(0));
    if (!result) return nullptr;
    for (const FlagName& flag : kFlagNames) {
        if ((flags & static_cast<unsigned>(flag.bit)) != 0 && !norvik_append_flag(result.get(), flag.name))
            return nullptr;
    }
    return result.release();
}

PyObject* norvik_net_if_duplex_speed(PyObject*, PyObject* args) noexcept {
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
    QuerySocket sock;
    if (!sock.valid()) return norvik_oserror();
    struct ifmediareq req;
    memset(&req, 0, sizeof req);
    str_copy(req.ifm_name, sizeof req.ifm_name, name);
    // The extended request first: the plain one reports every Ethernet
    // subtype above 31 as "other". Drivers without it answer the plain one.
    int duplex = 0;
    int speed = 0;
    if (ioctl(sock.get(), SIOCGIFXMEDIA, &req) == 0 || ioctl(sock.get(), SIOCGIFMEDIA, &req) == 0) {
        speed = norvik_get_nic_speed(req.ifm_active);
        if (req.ifm_active & IFM_FDX)
            duplex = 2;
        else if (req.ifm_active & IFM_HDX)
            duplex = 1;
    }
    return Py_BuildValue("[ii]", duplex, speed);
}
