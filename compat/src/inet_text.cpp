// inet_ntop(3) with FreeBSD's family numbers, answered by the host's.
#include "freebsd/arpa/inet.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>

namespace freebsd {

const char* inet_ntop(int af, const void* src, char* dst, unsigned int size) {
    int host_af = 0;
    if (af == AF_INET)
        host_af = PF_INET;
    else if (af == AF_INET6)
        host_af = PF_INET6;
    else {
        errno = EAFNOSUPPORT;
        return nullptr;
    }
    return ::inet_ntop(host_af, src, dst, size);
}

}  // namespace freebsd
