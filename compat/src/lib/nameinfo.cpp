// getnameinfo(3) over FreeBSD's socket addresses: the address is rewritten
// in the host's layout and the host's resolver formats it, so a link-local
// IPv6 address carries its interface's name ("fe80::1%lo0" on FreeBSD,
// "fe80::1%lo" here) as FreeBSD's does.
#include "freebsd/netdb.h"
#include "freebsd/sys/socket.h"

namespace {
// FreeBSD's numbers, named before the host headers make macros of them.
constexpr int kAfInet = freebsd::AF_INET;
constexpr int kAfInet6 = freebsd::AF_INET6;
constexpr int kNumericHost = freebsd::NI_NUMERICHOST;
constexpr int kNumericServ = freebsd::NI_NUMERICSERV;
constexpr int kNoFqdn = freebsd::NI_NOFQDN;
constexpr int kNameReqd = freebsd::NI_NAMEREQD;
constexpr int kDgram = freebsd::NI_DGRAM;
constexpr int kEaiFail = freebsd::EAI_FAIL;
constexpr int kEaiFamily = freebsd::EAI_FAMILY;
constexpr int kEaiMemory = freebsd::EAI_MEMORY;
constexpr int kEaiNoName = freebsd::EAI_NONAME;
constexpr int kEaiOverflow = freebsd::EAI_OVERFLOW;
}  // namespace

// The host headers come after: their macros would rewrite FreeBSD names.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace {

// The host's resolver has no numeric-scope flag: a scope is always written
// as its interface's name when the interface exists.
int host_flags(int flags) {
    int out = 0;
    if (flags & kNumericHost) out |= NI_NUMERICHOST;
    if (flags & kNumericServ) out |= NI_NUMERICSERV;
    if (flags & kNoFqdn) out |= NI_NOFQDN;
    if (flags & kNameReqd) out |= NI_NAMEREQD;
    if (flags & kDgram) out |= NI_DGRAM;
    return out;
}

int freebsd_result(int host) {
    switch (host) {
        case 0:
            return 0;
        case EAI_FAMILY:
            return kEaiFamily;
        case EAI_MEMORY:
            return kEaiMemory;
        case EAI_NONAME:
            return kEaiNoName;
        case EAI_OVERFLOW:
            return kEaiOverflow;
        default:
            return kEaiFail;
    }
}

}  // namespace

namespace freebsd {

int getnameinfo(const sockaddr* sa, socklen_t salen, char* host, std::size_t hostlen, char* serv,
                std::size_t servlen, int flags) {
    if (sa == nullptr) return kEaiFail;
    ::sockaddr_storage storage{};
    socklen_t host_len = 0;
    if (sa->sa_family == kAfInet) {
        // The length given must cover the family's address, whatever the
        // address's own length byte says.
        if (salen < sizeof(freebsd::sockaddr_in)) return kEaiFail;
        freebsd::sockaddr_in in;
        std::memcpy(&in, sa, sizeof in);
        auto* out = reinterpret_cast<::sockaddr_in*>(&storage);
        out->sin_family = AF_INET;
        out->sin_port = in.sin_port;
        std::memcpy(&out->sin_addr, &in.sin_addr, sizeof out->sin_addr);
        host_len = sizeof(::sockaddr_in);
    } else if (sa->sa_family == kAfInet6) {
        if (salen < sizeof(freebsd::sockaddr_in6)) return kEaiFail;
        freebsd::sockaddr_in6 in6;
        std::memcpy(&in6, sa, sizeof in6);
        auto* out = reinterpret_cast<::sockaddr_in6*>(&storage);
        out->sin6_family = AF_INET6;
        out->sin6_port = in6.sin6_port;
        out->sin6_flowinfo = in6.sin6_flowinfo;
        std::memcpy(&out->sin6_addr, &in6.sin6_addr, sizeof out->sin6_addr);
        out->sin6_scope_id = in6.sin6_scope_id;
        host_len = sizeof(::sockaddr_in6);
    } else {
        return kEaiFamily;
    }
    return freebsd_result(::getnameinfo(reinterpret_cast<::sockaddr*>(&storage), host_len, host,
                                        static_cast<socklen_t>(hostlen), serv,
                                        static_cast<socklen_t>(servlen), host_flags(flags)));
}

}  // namespace freebsd
