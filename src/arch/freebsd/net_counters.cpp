// Traffic counters of every interface, from the kernel's interface list.
#include <stddef.h>
#include <string.h>

#include "arch/posix/sysctl.h"
#include "methods.h"
#include "norvik_platform.h"
#include "owned.h"
#include "pyref.h"

namespace {

// Room for any name a link-level address can carry (sdl_nlen is one byte):
// a name is taken whole, never cut.
constexpr size_t kNameSize = 256;

// The interface name of an RTM_IFINFO message, copied into name. False when
// the message is too short for its header and link-level address, or the
// address is not one: such a message is stepped over.
bool ifinfo_name(const char* msg, size_t msglen, char (&name)[kNameSize]) {
    constexpr size_t kNameAt = sizeof(struct if_msghdr) + offsetof(struct sockaddr_dl, sdl_data);
    if (msglen < kNameAt) return false;
    struct sockaddr_dl sdl;
    memcpy(&sdl, msg + sizeof(struct if_msghdr), offsetof(struct sockaddr_dl, sdl_data));
    if (sdl.sdl_family != AF_LINK || kNameAt + sdl.sdl_nlen > msglen) return false;
    memcpy(name, msg + kNameAt, sdl.sdl_nlen);
    name[sdl.sdl_nlen] = '\0';
    return true;
}

PyObject* counter_tuple(const struct if_data& data) {
    using ulong = unsigned long;
    return Py_BuildValue("(kkkkkkkk)", ulong{data.ifi_obytes}, ulong{data.ifi_ibytes},
                         ulong{data.ifi_opackets}, ulong{data.ifi_ipackets}, ulong{data.ifi_ierrors},
                         ulong{data.ifi_oerrors}, ulong{data.ifi_iqdrops}, ulong{data.ifi_oqdrops});
}

}  // namespace

PyObject* norvik_net_io_counters(PyObject*, PyObject*) noexcept {
    PyRef result(PyDict_New());
    if (!result) return nullptr;
    int mib[] = {CTL_NET, PF_ROUTE, 0, 0, NET_RT_IFLIST, 0};
    char* raw = nullptr;
    size_t len = 0;
    if (norvik_sysctl_malloc(mib, 6, &raw, &len) == -1) return nullptr;
    FreedPtr<char> buf(raw);

    // Every message is read within the buffer: one whose length is too short
    // to step by, or that runs past the end, ends the walk. Of most messages
    // only the length and type are read; the counters only of an interface's.
    size_t pos = 0;
    while (len - pos >= offsetof(struct if_msghdr, ifm_addrs)) {
        const char* msg = buf.get() + pos;
        uint16_t length = 0;
        uint8_t type = 0;
        memcpy(&length, msg + offsetof(struct if_msghdr, ifm_msglen), sizeof length);
        memcpy(&type, msg + offsetof(struct if_msghdr, ifm_type), sizeof type);
        const size_t msglen = length;
        if (msglen < offsetof(struct if_msghdr, ifm_addrs) || msglen > len - pos) break;
        char name[kNameSize];
        if (type == RTM_IFINFO && ifinfo_name(msg, msglen, name) && strncmp(name, "usbus", 5) != 0) {
            // A message with a name holds its whole header.
            struct if_data data;
            memcpy(&data, msg + offsetof(struct if_msghdr, ifm_data), sizeof data);
            // FreeBSD takes any bytes for a name: it is decoded as file
            // names are, so that one which is not UTF-8 loses no table.
            PyRef counters(counter_tuple(data));
            if (!counters) return nullptr;
            PyRef key(PyUnicode_DecodeFSDefault(name));
            if (!key || PyDict_SetItem(result.get(), key.get(), counters.get()) != 0) return nullptr;
        }
        pos += msglen;
    }
    return result.release();
}
