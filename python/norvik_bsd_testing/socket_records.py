"""FreeBSD 14 amd64 socket records as the kernel answers them: kern.file's
xfile, the control block lists' xinpgen ends, xtcpcb, xinpcb and xunpcb."""
import socket
import struct
from typing import Iterable, Optional, Tuple

from ._layout import RecordError

XFILE, XINPGEN, XTCPCB, XINPCB, XUNPGEN, XUNPCB = 128, 64, 744, 400, 32, 904
LO = socket.inet_aton("127.0.0.1")


def xfile(pid: int, fd: int, data: int) -> bytes:
    """struct xfile: xf_size, xf_pid, xf_fd, xf_type DTYPE_SOCKET and
    xf_data, the socket's kernel address (xso_so of its control block)."""
    if fd < 0 or pid < 0:
        raise RecordError("xfile: a descriptor number of a process")
    rec = bytearray(XFILE)
    struct.pack_into("<Qi", rec, 0, XFILE, pid)
    struct.pack_into("<i", rec, 16, fd)
    struct.pack_into("<hQ", rec, 32, 2, 0)
    struct.pack_into("<Q", rec, 56, data)
    return bytes(rec)


def gen(size: int, generation: int, count: int = 0) -> bytes:
    """An end of a control block list: struct xinpgen (64 bytes) or
    xunpgen (32): xig_len, xig_count, xig_gen."""
    if size not in (XINPGEN, XUNPGEN):
        raise RecordError(f"xinpgen is {XINPGEN} bytes, xunpgen {XUNPGEN}")
    rec = bytearray(size)
    struct.pack_into("<QIIQ", rec, 0, size, count, 0, generation)
    return bytes(rec)


def inpcb_into(rec: bytearray, base: int, so: int, vflag: int, lport: int, fport: int, protocol: int, type_: int,
               family: int) -> None:
    """An xinpcb at offset base of rec (the record itself, or xt_inp)."""
    struct.pack_into("<Q", rec, base, XINPCB)
    struct.pack_into("<Q", rec, base + 16, so)
    struct.pack_into("<ii", rec, base + 104, protocol, family)
    struct.pack_into("<h", rec, base + 164, type_)
    struct.pack_into(">HH", rec, base + 252, fport, lport)
    rec[base + 268:base + 272] = LO
    rec[base + 284:base + 288] = LO
    rec[base + 392] = vflag


TCP_STATES = range(11)  # TCPS_CLOSED .. TCPS_TIME_WAIT
INP_IPV4, INP_IPV6 = 0x1, 0x2


def tcpcb(so: int, lport: int, fport: int = 0, state: int = 1, vflag: int = INP_IPV4, family: int = 2,
          v6: Optional[Tuple[str, str]] = None) -> bytes:
    """struct xtcpcb: its xinpcb (xt_inp) over 127.0.0.1, or the IPv6
    (local, foreign) addresses of v6, and t_state."""
    if state not in TCP_STATES or vflag not in (INP_IPV4, INP_IPV6, INP_IPV4 | INP_IPV6):
        raise RecordError("xtcpcb: t_state is a TCPS_* state; inp_vflag INP_IPV4 and/or INP_IPV6")
    rec = bytearray(XTCPCB)
    inpcb_into(rec, 8, so, vflag, lport, fport, 6, 1, family)
    if v6 is not None:
        rec[8 + 272:8 + 288] = socket.inet_pton(socket.AF_INET6, v6[0])
        rec[8 + 256:8 + 272] = socket.inet_pton(socket.AF_INET6, v6[1])
    struct.pack_into("<Q", rec, 0, XTCPCB)
    struct.pack_into("<i", rec, 568, state)
    return bytes(rec)


def udpcb(so: int, lport: int, vflag: int = INP_IPV4) -> bytes:
    """struct xinpcb of a UDP socket bound to 127.0.0.1:lport."""
    rec = bytearray(XINPCB)
    inpcb_into(rec, 0, so, vflag, lport, 0, 17, 2, 2)
    return bytes(rec)


def unpcb(so: int, path: bytes = b"") -> bytes:
    """struct xunpcb: xu_addr a sockaddr_un with the bound path (unnamed:
    none), xu_socket.xso_so."""
    if len(path) > 103 or b"\0" in path:
        raise RecordError("sockaddr_un: sun_path holds at most 103 bytes and its NUL")
    rec = bytearray(XUNPCB)
    struct.pack_into("<Q", rec, 0, XUNPCB)
    rec[152] = len(path) + 2
    rec[153] = 1
    rec[154:154 + len(path)] = path
    struct.pack_into("<Q", rec, 672, so)
    return bytes(rec)


def pcblist(records: Iterable[bytes], gen_size: int = XINPGEN, head: int = 7, tail: int = 7) -> bytes:
    """A control block list as tcp_pcblist, udp_pcblist and unp_pcblist
    write it: an xinpgen, the records, and an xinpgen with the generation
    at the end of the walk; both count the records."""
    records = list(records)
    return gen(gen_size, head, len(records)) + b"".join(records) + gen(gen_size, tail, len(records))
