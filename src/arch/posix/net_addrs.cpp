// Every address of every interface, and the text form of a socket address.
#include <memory>

#include "arch/all/str.h"
#include "arch/posix/net_if.h"
#include "methods.h"
#include "norvik.h"
#include "pyref.h"

namespace {

constexpr socklen_t kInetLength = 16;   // sizeof(struct sockaddr_in)
constexpr socklen_t kInet6Length = 28;  // sizeof(struct sockaddr_in6)

// The numeric host text of an internet address read with the given length.
PyObject* numeric_host(const struct sockaddr* addr, socklen_t length) {
    char host[NI_MAXHOST];
    if (getnameinfo(addr, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) Py_RETURN_NONE;
    return PyUnicode_FromString(host);
}

// The hardware address of a link-level address as "xx:xx:...", or None.
PyObject* hardware_address(const struct sockaddr* addr) {
    const auto* sdl = reinterpret_cast<const struct sockaddr_dl*>(addr);
    if (sdl->sdl_alen == 0) Py_RETURN_NONE;
    const auto* bytes = reinterpret_cast<const unsigned char*>(LLADDR(sdl));
    char text[NI_MAXHOST];
    for (int i = 0; i < sdl->sdl_alen; ++i) str_format(text + i * 3, 8, "%02x:", bytes[i]);
    text[sdl->sdl_alen * 3 - 1] = '\0';
    return PyUnicode_FromString(text);
}

PyObject* new_none() {
    Py_INCREF(Py_None);
    return Py_None;
}

struct IfaddrsDeleter {
    void operator()(struct ifaddrs* list) const { freeifaddrs(list); }
};

// The entry's broadcast and peer columns: by its flags, one address, or none.
void destination_columns(const struct ifaddrs* entry, int family, PyRef& broadcast, PyRef& peer) {
    if (entry->ifa_flags & IFF_BROADCAST) {
        broadcast.reset(norvik_convert_ipaddr(entry->ifa_dstaddr, family));
        peer.reset(new_none());
    } else if (entry->ifa_flags & IFF_POINTOPOINT) {
        broadcast.reset(new_none());
        peer.reset(norvik_convert_ipaddr(entry->ifa_dstaddr, family));
    } else {
        broadcast.reset(new_none());
        peer.reset(new_none());
    }
}

}  // namespace

PyObject* norvik_convert_ipaddr(struct sockaddr* addr, int family) {
    if (addr == nullptr) Py_RETURN_NONE;
    if (family == AF_INET) return numeric_host(addr, kInetLength);
    if (family == AF_INET6) return numeric_host(addr, kInet6Length);
    if (addr->sa_family == AF_LINK) return hardware_address(addr);
    Py_RETURN_NONE;
}

PyObject* norvik_net_if_addrs(PyObject*, PyObject*) noexcept {
    PyRef result(PyList_New(0));
    if (!result) return nullptr;
    struct ifaddrs* first = nullptr;
    if (getifaddrs(&first) == -1) return norvik_oserror();
    std::unique_ptr<struct ifaddrs, IfaddrsDeleter> list(first);

    for (struct ifaddrs* entry = first; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) continue;
        const int family = entry->ifa_addr->sa_family;
        PyRef address(norvik_convert_ipaddr(entry->ifa_addr, family));
        if (!address) return nullptr;
        if (address.get() == Py_None) continue;
        PyRef netmask(norvik_convert_ipaddr(entry->ifa_netmask, family));
        if (!netmask) return nullptr;
        PyRef broadcast;
        PyRef peer;
        destination_columns(entry, family, broadcast, peer);
        if (!broadcast || !peer) return nullptr;
        // Any bytes make a name on FreeBSD: decoded as file names are.
        PyRef name(PyUnicode_DecodeFSDefault(entry->ifa_name));
        if (!name) return nullptr;
        PyRef row(Py_BuildValue("(OiOOOO)", name.get(), family, address.get(), netmask.get(), broadcast.get(),
                                peer.get()));
        if (append_new(result.get(), row.release()) == -1) return nullptr;
    }
    return result.release();
}
