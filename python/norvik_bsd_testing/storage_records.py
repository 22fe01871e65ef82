"""FreeBSD 14 amd64 struct statfs (getfsstat), struct devstat
(devstat_getdevs) and struct utmpx (getutxent) as the base system answers
them."""
import struct
from typing import Tuple, Union

from ._layout import RecordError, text

Text = Union[str, bytes]
STATFS_SIZE = 2344
DEVSTAT_SIZE = 288
UTMPX_SIZE = 280

MNT = {
    "ro": 0x1, "sync": 0x2, "noexec": 0x4, "nosuid": 0x8, "nfs4acls": 0x10, "union": 0x20,
    "async": 0x40, "local": 0x1000, "suiddir": 0x100000, "softdep": 0x200000,
    "nosymfollow": 0x400000, "gjournal": 0x2000000, "multilabel": 0x4000000, "acls": 0x8000000,
    "noatime": 0x10000000, "noclusterr": 0x40000000, "noclusterw": 0x80000000, "suj": 0x100000000,
}

USER_PROCESS, LOGIN_PROCESS, DEAD_PROCESS, BOOT_TIME = 4, 6, 7, 1


STATFS_VERSION = 0x20140518


def statfs(source: Text, target: Text, fstype: Text, flags: int = 0) -> bytes:
    """f_version, f_flags, f_fstypename (16 bytes), f_mntfromname and
    f_mntonname (1024 each), each string NUL-terminated."""
    fstype, source, target = (text(fstype, 16, "f_fstypename"), text(source, 1024, "f_mntfromname"),
                              text(target, 1024, "f_mntonname"))
    rec = bytearray(STATFS_SIZE)
    struct.pack_into("<IIQ", rec, 0, STATFS_VERSION, 0, flags)
    rec[280:280 + len(fstype)] = fstype
    rec[296:296 + len(source)] = source
    rec[1320:1320 + len(target)] = target
    return bytes(rec)


def bintime(sec: int, frac: int) -> bytes:
    return struct.pack("<qQ", sec, frac)


def devstat(name: Text, unit: int, reads: int = 0, writes: int = 0, rbytes: int = 0, wbytes: int = 0,
            rtime: Tuple[int, int] = (0, 0), wtime: Tuple[int, int] = (0, 0), busy: Tuple[int, int] = (0, 0)) -> bytes:
    """device_name (16 bytes), unit_number, bytes[READ, WRITE],
    operations[READ, WRITE], duration[READ, WRITE] and busy_time as
    bintimes (seconds, 2**-64 fractions)."""
    name = text(name, 16, "device_name")  # devstat_new_entry's strlcpy
    if unit < 0:
        raise RecordError("devstat: unit_number is not negative")
    rec = bytearray(DEVSTAT_SIZE)
    rec[44:44 + len(name)] = name
    struct.pack_into("<i", rec, 60, unit)
    struct.pack_into("<QQ", rec, 72, rbytes, wbytes)
    struct.pack_into("<QQ", rec, 104, reads, writes)
    rec[144:160] = bintime(*rtime)
    rec[160:176] = bintime(*wtime)
    rec[192:208] = bintime(*busy)
    return bytes(rec)


def utmpx(kind: int, user: Text = b"", line: Text = b"", host: Text = b"", sec: int = 0, usec: int = 0, pid: int = 0,
          ident: bytes = b"") -> bytes:
    """ut_type, ut_tv, ut_id (8 bytes), ut_pid, ut_user (32), ut_line (16),
    ut_host (128): utx's strncpy'd arrays, terminated only when shorter."""
    if not 0 <= kind <= 8 or not 0 <= usec < 1_000_000 or len(ident) > 8:
        raise RecordError("utmpx: ut_type EMPTY..SHUTDOWN_TIME, tv_usec below a million, ut_id 8 bytes")
    user, line, host = (text(user, 32, "ut_user", False), text(line, 16, "ut_line", False),
                        text(host, 128, "ut_host", False))
    rec = bytearray(UTMPX_SIZE)
    struct.pack_into("<h", rec, 0, kind)
    struct.pack_into("<qq", rec, 8, sec, usec)
    rec[24:24 + len(ident)] = ident
    struct.pack_into("<i", rec, 32, pid)
    rec[36:36 + len(user)] = user
    rec[68:68 + len(line)] = line
    rec[84:84 + len(host)] = host
    return bytes(rec)
