// FreeBSD's exported TCP control blocks (the records of
// net.inet.tcp.pcblist) and the TCP connection states.
#pragma once

#include <cstddef>

#include "freebsd/netinet/in_pcb.h"

namespace freebsd {

// t_state
inline constexpr int TCPS_CLOSED = 0;
inline constexpr int TCPS_LISTEN = 1;
inline constexpr int TCPS_SYN_SENT = 2;
inline constexpr int TCPS_SYN_RECEIVED = 3;
inline constexpr int TCPS_ESTABLISHED = 4;
inline constexpr int TCPS_CLOSE_WAIT = 5;
inline constexpr int TCPS_FIN_WAIT_1 = 6;
inline constexpr int TCPS_CLOSING = 7;
inline constexpr int TCPS_LAST_ACK = 8;
inline constexpr int TCPS_FIN_WAIT_2 = 9;
inline constexpr int TCPS_TIME_WAIT = 10;
inline constexpr int TCP_NSTATES = 11;

// Lengths of xtcpcb's name fields.
inline constexpr int TCP_FUNCTION_NAME_LEN_MAX = 32;
inline constexpr int TCP_LOG_ID_LEN = 64;
inline constexpr int TCP_CA_NAME_MAX = 16;

struct xtcpcb {
    std::uint64_t xt_len;  // sizeof(struct xtcpcb)
    xinpcb xt_inp;
    char xt_stack[TCP_FUNCTION_NAME_LEN_MAX];
    char xt_logid[TCP_LOG_ID_LEN];
    char xt_cc[TCP_CA_NAME_MAX];
    std::int64_t spare64[6];
    std::int32_t t_state;  // TCPS_*
    std::uint32_t t_flags;
    std::int32_t t_sndzerowin;
    std::int32_t t_sndrexmitpack;
    std::int32_t t_rcvoopack;
    std::int32_t t_rcvtime;
    std::int32_t tt_rexmt;
    std::int32_t tt_persist;
    std::int32_t tt_keep;
    std::int32_t tt_2msl;
    std::int32_t tt_delack;
    std::int32_t t_logstate;
    std::uint32_t t_snd_cwnd;
    std::uint32_t t_snd_ssthresh;
    std::uint32_t t_maxseg;
    std::uint32_t t_rcv_wnd;
    std::uint32_t t_snd_wnd;
    std::uint32_t xt_ecn;
    std::uint32_t t_dsack_bytes;
    std::uint32_t t_dsack_tlp_bytes;
    std::uint32_t t_dsack_pack;
    std::uint16_t xt_encaps_port;
    std::int16_t spare16;
    std::int32_t spare32[22];
};
static_assert(sizeof(xtcpcb) == 744);
static_assert(offsetof(xtcpcb, xt_inp) == 8);
static_assert(offsetof(xtcpcb, xt_inp.xi_socket) == 16);
static_assert(offsetof(xtcpcb, xt_inp.xi_socket.xso_so) == 24);
static_assert(offsetof(xtcpcb, xt_inp.xi_socket.so_pcb) == 32);
static_assert(offsetof(xtcpcb, xt_inp.xi_socket.xso_protocol) == 112);
static_assert(offsetof(xtcpcb, xt_inp.xi_socket.xso_family) == 116);
static_assert(offsetof(xtcpcb, xt_inp.xi_socket.so_type) == 172);
static_assert(offsetof(xtcpcb, xt_inp.inp_inc) == 256);
static_assert(offsetof(xtcpcb, xt_inp.inp_inc.inc_ie.ie_fport) == 260);
static_assert(offsetof(xtcpcb, xt_inp.inp_inc.inc_ie.ie_lport) == 262);
static_assert(offsetof(xtcpcb, xt_inp.inp_inc.inc_ie.ie_dependfaddr.id6_addr) == 264);
static_assert(offsetof(xtcpcb, xt_inp.inp_inc.inc_ie.ie_dependfaddr.id46_addr.ia46_addr4) == 276);
static_assert(offsetof(xtcpcb, xt_inp.inp_inc.inc_ie.ie_dependladdr.id6_addr) == 280);
static_assert(offsetof(xtcpcb, xt_inp.inp_inc.inc_ie.ie_dependladdr.id46_addr.ia46_addr4) == 292);
static_assert(offsetof(xtcpcb, xt_inp.inp_vflag) == 400);
static_assert(offsetof(xtcpcb, xt_stack) == 408);
static_assert(offsetof(xtcpcb, xt_logid) == 440);
static_assert(offsetof(xtcpcb, xt_cc) == 504);
static_assert(offsetof(xtcpcb, spare64) == 520);
static_assert(offsetof(xtcpcb, t_state) == 568);
static_assert(offsetof(xtcpcb, t_flags) == 572);
static_assert(offsetof(xtcpcb, t_snd_cwnd) == 616);
static_assert(offsetof(xtcpcb, xt_encaps_port) == 652);
static_assert(offsetof(xtcpcb, spare32) == 656);

}  // namespace freebsd
