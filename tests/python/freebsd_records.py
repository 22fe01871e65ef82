"""FreeBSD 14 amd64 records as bytes, for scripted answers: struct kinfo_proc,
struct kinfo_file and struct kinfo_vmentry, with the fields the process
functions read at their offsets."""
import struct

KINFO_PROC_SIZE = 1088
KINFO_FILE_SIZE = 1392
KINFO_VMENTRY_SIZE = 1160

P_SYSTEM = 0x200
P_INMEM = 0x10000000
SZOMB = 5

KF_TYPE_VNODE, KF_TYPE_SOCKET, KF_TYPE_PIPE = 1, 2, 3
KF_VTYPE_VREG, KF_VTYPE_VDIR, KF_VTYPE_VCHR = 1, 2, 4
KF_FD_TYPE_CWD, KF_FD_TYPE_ROOT, KF_FD_TYPE_TEXT = -1, -2, -5

KVME_TYPE_DEFAULT, KVME_TYPE_VNODE = 1, 2


def kinfo_proc(pid, uid=0, flag=P_INMEM, stat=2, tid=None, utime=(0, 0), stime=(0, 0)):
    rec = bytearray(KINFO_PROC_SIZE)
    struct.pack_into("<i", rec, 0, KINFO_PROC_SIZE)
    struct.pack_into("<i", rec, 72, pid)          # ki_pid
    struct.pack_into("<I", rec, 168, uid)         # ki_uid
    struct.pack_into("<q", rec, 368, flag)        # ki_flag
    struct.pack_into("<b", rec, 388, stat)        # ki_stat
    struct.pack_into("<i", rec, 600, pid if tid is None else tid)  # ki_tid
    struct.pack_into("<qq", rec, 608, *utime)     # ki_rusage.ru_utime
    struct.pack_into("<qq", rec, 624, *stime)     # ki_rusage.ru_stime
    return bytes(rec)


def kinfo_file(fd, kind=KF_TYPE_VNODE, vtype=KF_VTYPE_VREG, path=b"", raw_path=None):
    rec = bytearray(KINFO_FILE_SIZE)
    struct.pack_into("<iii", rec, 0, KINFO_FILE_SIZE, kind, fd)
    struct.pack_into("<I", rec, 32, vtype)        # kf_vnode_type
    rec[368:368 + 1024] = raw_path if raw_path is not None else path.ljust(1024, b"\0")
    return bytes(rec)


def kinfo_vmentry(start, end, prot=1, kind=KVME_TYPE_DEFAULT, path=b"", resident=0, private=0,
                  ref=0, shadow=0, raw_path=None):
    rec = bytearray(KINFO_VMENTRY_SIZE)
    struct.pack_into("<ii", rec, 0, KINFO_VMENTRY_SIZE, kind)
    struct.pack_into("<QQ", rec, 8, start, end)
    struct.pack_into("<ii", rec, 48, resident, private)
    struct.pack_into("<iii", rec, 56, prot, ref, shadow)
    rec[136:136 + 1024] = raw_path if raw_path is not None else path.ljust(1024, b"\0")
    return bytes(rec)
