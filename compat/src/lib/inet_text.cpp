// inet_ntop(3) with FreeBSD's family numbers, answered by the host's.
//
// The stand-in's FreeBSD declarations come before the host's headers, whose
// macros would otherwise rewrite FreeBSD names (AF_INET6 is 10 there).
#include "freebsd/arpa/inet.h"

namespace {
constexpr int kFreeBsdInet = freebsd::AF_INET;
constexpr int kFreeBsdInet6 = freebsd::AF_INET6;
}  // namespace

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>

namespace freebsd {

const char* inet_ntop(int af, const void* src, char* dst, unsigned int size) {
    if (af == kFreeBsdInet) return ::inet_ntop(PF_INET, src, dst, size);
    if (af == kFreeBsdInet6) return ::inet_ntop(PF_INET6, src, dst, size);
    errno = EAFNOSUPPORT;
    return nullptr;
}

}  // namespace freebsd
