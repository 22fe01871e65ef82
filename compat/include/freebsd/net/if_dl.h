// FreeBSD's link-level socket address: the interface name, then its hardware address.
#pragma once

#include <cstdint>

#include "freebsd/sys/types.h"

namespace freebsd {

struct sockaddr_dl {
    std::uint8_t sdl_len;  // may exceed the structure for long names or addresses
    sa_family_t sdl_family;
    std::uint16_t sdl_index;
    std::uint8_t sdl_type;
    std::uint8_t sdl_nlen;  // name length, no terminating NUL
    std::uint8_t sdl_alen;  // hardware address length
    std::uint8_t sdl_slen;
    char sdl_data[46];  // the name, then the hardware address
};
static_assert(sizeof(sockaddr_dl) == 54);

// The hardware address: it begins right after the name.
inline char* LLADDR(sockaddr_dl* s) { return s->sdl_data + s->sdl_nlen; }
inline const char* LLADDR(const sockaddr_dl* s) { return s->sdl_data + s->sdl_nlen; }

}  // namespace freebsd
