"""FreeBSD 14 amd64 socket records as the kernel answers them: kern.file's
xfile, the control block lists' xinpgen ends, xtcpcb, xinpcb and xunpcb."""
import socket
import struct

XFILE, XINPGEN, XTCPCB, XINPCB, XUNPGEN, XUNPCB = 128, 64, 744, 400, 32, 904
LO = socket.inet_aton("127.0.0.1")


def xfile(pid, fd, data, size=XFILE):
    rec = bytearray(XFILE)
    struct.pack_into("<Qi", rec, 0, size, pid)
    struct.pack_into("<i", rec, 16, fd)
    struct.pack_into("<hQ", rec, 32, 2, 0)
    struct.pack_into("<Q", rec, 56, data)
    return bytes(rec)


def gen(size, generation, length=None):
    rec = bytearray(size)
    struct.pack_into("<QIIQ", rec, 0, size if length is None else length, 0, 0, generation)
    return bytes(rec)


def inpcb_into(rec, base, so, vflag, lport, fport, protocol, type_, family):
    """An xinpcb at offset base of rec (the record itself, or xt_inp)."""
    struct.pack_into("<Q", rec, base, XINPCB)
    struct.pack_into("<Q", rec, base + 16, so)
    struct.pack_into("<ii", rec, base + 104, protocol, family)
    struct.pack_into("<h", rec, base + 164, type_)
    struct.pack_into(">HH", rec, base + 252, fport, lport)
    rec[base + 268:base + 272] = LO
    rec[base + 284:base + 288] = LO
    rec[base + 392] = vflag


def tcpcb(so, lport, fport=0, state=1, vflag=1, length=XTCPCB, family=2, v6=None):
    """v6: the IPv6 (local, foreign) addresses, written over the whole slots."""
    rec = bytearray(XTCPCB)
    inpcb_into(rec, 8, so, vflag, lport, fport, 6, 1, family)
    if v6 is not None:
        rec[8 + 272:8 + 288] = socket.inet_pton(socket.AF_INET6, v6[0])
        rec[8 + 256:8 + 272] = socket.inet_pton(socket.AF_INET6, v6[1])
    struct.pack_into("<Q", rec, 0, length)
    struct.pack_into("<i", rec, 568, state)
    return bytes(rec)


def udpcb(so, lport, vflag=1, length=XINPCB):
    rec = bytearray(XINPCB)
    inpcb_into(rec, 0, so, vflag, lport, 0, 17, 2, 2)
    struct.pack_into("<Q", rec, 0, length)
    return bytes(rec)


def unpcb(so, path=b"", sun_len=None, length=XUNPCB):
    rec = bytearray(XUNPCB)
    struct.pack_into("<Q", rec, 0, length)
    rec[152] = len(path) + 2 if sun_len is None else sun_len
    rec[153] = 1
    rec[154:154 + len(path)] = path
    struct.pack_into("<Q", rec, 672, so)
    return bytes(rec)


def pcblist(records, gen_size=XINPGEN, head=7, tail=7):
    return gen(gen_size, head) + b"".join(records) + gen(gen_size, tail)
