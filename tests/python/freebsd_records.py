"""FreeBSD 14 amd64 records as bytes, for scripted answers: struct kinfo_proc,
struct kinfo_file and struct kinfo_vmentry, with the fields the process
functions read at their offsets from the platform's layout."""
import struct

KINFO_PROC_SIZE = 1088
KINFO_FILE_SIZE = 1392
KINFO_VMENTRY_SIZE = 1160

P_SYSTEM = 0x200
P_INMEM = 0x10000000
SZOMB = 5
NODEV = 0xFFFFFFFFFFFFFFFF
NOCPU = -1

KF_TYPE_VNODE, KF_TYPE_SOCKET, KF_TYPE_PIPE = 1, 2, 3
KF_VTYPE_VREG, KF_VTYPE_VDIR, KF_VTYPE_VCHR = 1, 2, 4
KF_FD_TYPE_CWD, KF_FD_TYPE_ROOT, KF_FD_TYPE_TEXT = -1, -2, -5

KVME_TYPE_DEFAULT, KVME_TYPE_VNODE = 1, 2


# name: (offset, struct format)
FIELDS = {
    "ki_structsize": (0, "<i"),
    "ki_pid": (72, "<i"),
    "ki_ppid": (76, "<i"),
    "ki_uid": (168, "<I"),
    "ki_ruid": (172, "<I"),
    "ki_svuid": (176, "<I"),
    "ki_rgid": (180, "<I"),
    "ki_svgid": (184, "<I"),
    "ki_groups0": (192, "<I"),
    "ki_size": (256, "<Q"),
    "ki_rssize": (264, "<q"),
    "ki_tsize": (280, "<q"),
    "ki_dsize": (288, "<q"),
    "ki_ssize": (296, "<q"),
    "ki_start": (336, "<qq"),
    "ki_flag": (368, "<q"),
    "ki_stat": (388, "<b"),
    "ki_comm": (447, "20s"),
    "ki_tdev": (560, "<Q"),
    "ki_oncpu": (568, "<i"),
    "ki_lastcpu": (572, "<i"),
    "ki_numthreads": (596, "<i"),
    "ki_tid": (600, "<i"),
    "ru_utime": (608, "<qq"),
    "ru_stime": (624, "<qq"),
    "ru_inblock": (696, "<q"),
    "ru_oublock": (704, "<q"),
    "ru_nvcsw": (736, "<q"),
    "ru_nivcsw": (744, "<q"),
    "ch_utime": (752, "<qq"),
    "ch_stime": (768, "<qq"),
}



def kinfo_proc_record(**values):
    """A record with ki_structsize set, the given fields, zeros elsewhere.
    Pairs (timevals) are given as (seconds, microseconds)."""
    rec = bytearray(KINFO_PROC_SIZE)
    values.setdefault("ki_structsize", KINFO_PROC_SIZE)
    for name, value in values.items():
        offset, fmt = FIELDS[name]
        if isinstance(value, tuple):
            struct.pack_into(fmt, rec, offset, *value)
        else:
            struct.pack_into(fmt, rec, offset, value)
    return bytes(rec)


def kinfo_proc(pid, uid=0, flag=P_INMEM, stat=2, tid=None, utime=(0, 0), stime=(0, 0)):
    return kinfo_proc_record(ki_pid=pid, ki_uid=uid, ki_flag=flag, ki_stat=stat,
                             ki_tid=pid if tid is None else tid, ru_utime=utime, ru_stime=stime)


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
