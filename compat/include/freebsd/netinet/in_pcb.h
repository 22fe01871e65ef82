// FreeBSD's exported internet protocol control blocks: the records of
// net.inet.{tcp,udp,raw}.pcblist, with the socket record each one carries.
//
// A list is one xinpgen, the records, then a closing xinpgen; every record
// starts with its own length, which is what a reader steps by.
#pragma once

#include <cstddef>
#include <type_traits>

#include "freebsd/sys/socket.h"
#include "freebsd/sys/types.h"

namespace freebsd {

// so_state bits of a socket.
inline constexpr int SS_ISCONNECTED = 0x0002;
inline constexpr int SS_ISCONNECTING = 0x0004;
inline constexpr int SS_ISDISCONNECTING = 0x0008;
inline constexpr int SS_NBIO = 0x0100;
inline constexpr int SS_ASYNC = 0x0200;
inline constexpr int SS_ISCONFIRMING = 0x0400;
inline constexpr int SS_ISDISCONNECTED = 0x2000;
static_assert(std::is_same_v<std::remove_cv_t<decltype(SS_ISCONNECTED)>, int>);

// inp_vflag: which address family the block's addresses are.
inline constexpr int INP_IPV4 = 0x1;
inline constexpr int INP_IPV6 = 0x2;
inline constexpr int INP_IPV6PROTO = 0x4;

// inc_flags
inline constexpr int INC_ISIPV6 = 0x1;
static_assert(std::is_same_v<std::remove_cv_t<decltype(INP_IPV4)>, int>);
static_assert(std::is_same_v<std::remove_cv_t<decltype(INC_ISIPV6)>, int>);

// A socket as the pcb lists export it.
struct xsocket {
    std::uint64_t xso_len;  // sizeof(struct xsocket)
    kvaddr_t xso_so;        // the socket's kernel address, as xfile's xf_data
    kvaddr_t so_pcb;        // its protocol control block's kernel address
    std::uint64_t so_oobmark;
    kvaddr_t so_splice_so;  // the socket this one is spliced to
    std::int64_t so_spare64[7];
    std::int32_t xso_protocol;
    std::int32_t xso_family;
    std::uint32_t so_qlen;
    std::uint32_t so_incqlen;
    std::uint32_t so_qlimit;
    std::int32_t so_pgid;
    std::uint32_t so_uid;
    std::int32_t so_fibnum;
    std::int32_t so_spare32[7];
    std::int16_t so_type;  // SOCK_*
    std::int16_t so_options;
    std::int16_t so_linger;
    std::int16_t so_state;  // SS_*
    std::int16_t so_timeo;
    std::uint16_t so_error;
    // Nested, as FreeBSD's C++ sees it: name it xsocket::xsockbuf.
    struct xsockbuf {
        std::uint32_t sb_cc;
        std::uint32_t sb_hiwat;
        std::uint32_t sb_mbcnt;
        std::uint32_t sb_spare0;
        std::uint32_t sb_spare1;
        std::uint32_t sb_mbmax;
        std::int32_t sb_lowat;
        std::int32_t sb_timeo;
        std::int16_t sb_flags;
    } so_rcv, so_snd;
};
static_assert(sizeof(xsocket::xsockbuf) == 36);
static_assert(offsetof(xsocket::xsockbuf, sb_flags) == 32);
static_assert(sizeof(xsocket) == 240);
static_assert(offsetof(xsocket, xso_so) == 8);
static_assert(offsetof(xsocket, so_pcb) == 16);
static_assert(offsetof(xsocket, xso_protocol) == 96);
static_assert(offsetof(xsocket, xso_family) == 100);
static_assert(offsetof(xsocket, so_uid) == 120);
static_assert(offsetof(xsocket, so_type) == 156);
static_assert(offsetof(xsocket, so_state) == 162);
static_assert(offsetof(xsocket, so_rcv) == 168);
static_assert(offsetof(xsocket, so_snd) == 204);

// An IPv4 address in the last four bytes of an IPv6-sized slot.
struct in_addr_4in6 {
    std::uint32_t ia46_pad32[3];
    in_addr ia46_addr4;
};

union in_dependaddr {
    in_addr_4in6 id46_addr;
    in6_addr id6_addr;
};
static_assert(sizeof(in_dependaddr) == 16);
static_assert(offsetof(in_dependaddr, id46_addr.ia46_addr4) == 12);

// Ports and addresses are in network byte order. FreeBSD's short names for
// the inner members (inc_fport, inc_faddr, inc6_laddr, ...) are macros there;
// readers here spell out the full member paths, which mean the same on both.
struct in_endpoints {
    std::uint16_t ie_fport;
    std::uint16_t ie_lport;
    in_dependaddr ie_dependfaddr;
    in_dependaddr ie_dependladdr;
    std::uint32_t ie6_zoneid;
};
static_assert(sizeof(in_endpoints) == 40);
static_assert(offsetof(in_endpoints, ie_lport) == 2);
static_assert(offsetof(in_endpoints, ie_dependfaddr) == 4);
static_assert(offsetof(in_endpoints, ie_dependfaddr.id46_addr.ia46_addr4) == 16);
static_assert(offsetof(in_endpoints, ie_dependladdr) == 20);
static_assert(offsetof(in_endpoints, ie_dependladdr.id46_addr.ia46_addr4) == 32);
static_assert(offsetof(in_endpoints, ie6_zoneid) == 36);

struct in_conninfo {
    std::uint8_t inc_flags;  // INC_ISIPV6
    std::uint8_t inc_len;
    std::uint16_t inc_fibnum;
    in_endpoints inc_ie;
};
static_assert(sizeof(in_conninfo) == 44);
static_assert(offsetof(in_conninfo, inc_ie) == 4);
static_assert(offsetof(in_conninfo, inc_ie.ie_fport) == 4);
static_assert(offsetof(in_conninfo, inc_ie.ie_lport) == 6);
static_assert(offsetof(in_conninfo, inc_ie.ie_dependfaddr.id6_addr) == 8);
static_assert(offsetof(in_conninfo, inc_ie.ie_dependfaddr.id46_addr.ia46_addr4) == 20);
static_assert(offsetof(in_conninfo, inc_ie.ie_dependladdr.id6_addr) == 24);
static_assert(offsetof(in_conninfo, inc_ie.ie_dependladdr.id46_addr.ia46_addr4) == 36);
static_assert(offsetof(in_conninfo, inc_ie.ie6_zoneid) == 40);

// Head and tail of a pcb list.
struct xinpgen {
    std::uint64_t xig_len;  // sizeof(struct xinpgen)
    std::uint32_t xig_count;
    std::uint32_t _xig_spare32;
    std::uint64_t xig_gen;
    std::uint64_t xig_sogen;
    std::uint64_t _xig_spare64[4];
};
static_assert(sizeof(xinpgen) == 64);
static_assert(offsetof(xinpgen, xig_count) == 8);
static_assert(offsetof(xinpgen, xig_gen) == 16);
static_assert(offsetof(xinpgen, xig_sogen) == 24);

// One UDP or raw socket's block; TCP's xtcpcb carries one as well.
struct xinpcb {
    std::uint64_t xi_len;  // sizeof(struct xinpcb)
    xsocket xi_socket;
    in_conninfo inp_inc;
    std::uint64_t inp_gencnt;
    kvaddr_t inp_ppcb;
    std::int64_t inp_spare64[4];
    std::uint32_t inp_flow;
    std::uint32_t inp_flowid;
    std::uint32_t inp_flowtype;
    std::int32_t inp_flags;
    std::int32_t inp_flags2;
    std::uint32_t inp_unused;
    std::int32_t in6p_cksum;
    std::int32_t inp_spare32[4];
    std::uint16_t in6p_hops;
    std::uint8_t inp_ip_tos;
    std::int8_t pad8;
    std::uint8_t inp_vflag;  // INP_IPV4, INP_IPV6
    std::uint8_t inp_ip_ttl;
    std::uint8_t inp_ip_p;
    std::uint8_t inp_ip_minttl;
    std::int8_t inp_spare8[4];
};
static_assert(sizeof(xinpcb) == 400);
static_assert(offsetof(xinpcb, xi_socket) == 8);
static_assert(offsetof(xinpcb, xi_socket.so_pcb) == 24);
static_assert(offsetof(xinpcb, xi_socket.xso_protocol) == 104);
static_assert(offsetof(xinpcb, xi_socket.xso_family) == 108);
static_assert(offsetof(xinpcb, xi_socket.so_type) == 164);
static_assert(offsetof(xinpcb, inp_inc) == 248);
static_assert(offsetof(xinpcb, inp_inc.inc_ie.ie_fport) == 252);
static_assert(offsetof(xinpcb, inp_inc.inc_ie.ie_lport) == 254);
static_assert(offsetof(xinpcb, inp_inc.inc_ie.ie_dependfaddr.id6_addr) == 256);
static_assert(offsetof(xinpcb, inp_inc.inc_ie.ie_dependfaddr.id46_addr.ia46_addr4) == 268);
static_assert(offsetof(xinpcb, inp_inc.inc_ie.ie_dependladdr.id6_addr) == 272);
static_assert(offsetof(xinpcb, inp_inc.inc_ie.ie_dependladdr.id46_addr.ia46_addr4) == 284);
static_assert(offsetof(xinpcb, inp_inc.inc_ie.ie6_zoneid) == 288);
static_assert(offsetof(xinpcb, inp_gencnt) == 296);
static_assert(offsetof(xinpcb, inp_ppcb) == 304);
static_assert(offsetof(xinpcb, inp_flow) == 344);
static_assert(offsetof(xinpcb, inp_flags) == 356);
static_assert(offsetof(xinpcb, in6p_hops) == 388);
static_assert(offsetof(xinpcb, inp_vflag) == 392);
static_assert(offsetof(xinpcb, inp_ip_p) == 394);
static_assert(offsetof(xinpcb, inp_spare8) == 396);

}  // namespace freebsd
