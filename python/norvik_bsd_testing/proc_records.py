"""FreeBSD 14 amd64 process records as the kernel and libutil answer them:
struct kinfo_proc (kern.proc.pid, kern.proc.proc, kern.proc.pid_td),
struct kinfo_file (kinfo_getfile, with the special records
kern_proc_filedesc_out puts first) and struct kinfo_vmentry (kinfo_getvmmap).

Fields take FreeBSD's names. A struct timeval is (seconds, microseconds) or
float seconds; ki_rusage and ki_rusage_ch take a dict of struct rusage's
fields; ki_groups a list of gids."""
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence

import struct as _struct

from ._layout import Layout, RecordError, text, timeval

KINFO_PROC_SIZE = 1088
KINFO_FILE_SIZE = 1392
KINFO_VMENTRY_SIZE = 1160
PAGE_SIZE = 4096

P_CONTROLT, P_SYSTEM, P_TRACED, P_WEXIT, P_EXEC, P_JAILED, P_INMEM = (
    0x2, 0x200, 0x800, 0x2000, 0x4000, 0x1000000, 0x10000000)
SIDL, SRUN, SSLEEP, SSTOP, SZOMB, SWAIT, SLOCK = 1, 2, 3, 4, 5, 6, 7
NODEV = 0xFFFFFFFFFFFFFFFF
NOCPU = -1
# Thread ids start above the pids (PID_MAX is 99999).
FIRST_TID = 100000

KF_TYPE_NONE, KF_TYPE_VNODE, KF_TYPE_SOCKET, KF_TYPE_PIPE, KF_TYPE_FIFO, KF_TYPE_KQUEUE = 0, 1, 2, 3, 4, 5
KF_TYPE_MQUEUE, KF_TYPE_SHM, KF_TYPE_SEM, KF_TYPE_PTS, KF_TYPE_PROCDESC, KF_TYPE_DEV = 7, 8, 9, 10, 11, 12
KF_TYPE_EVENTFD, KF_TYPE_TIMERFD, KF_TYPE_UNKNOWN = 13, 14, 255
KF_VTYPE_VNON, KF_VTYPE_VREG, KF_VTYPE_VDIR, KF_VTYPE_VBLK, KF_VTYPE_VCHR = 0, 1, 2, 3, 4
KF_VTYPE_VLNK, KF_VTYPE_VSOCK, KF_VTYPE_VFIFO, KF_VTYPE_VBAD, KF_VTYPE_UNKNOWN = 5, 6, 7, 8, 255
KF_FD_TYPE_CWD, KF_FD_TYPE_ROOT, KF_FD_TYPE_JAIL, KF_FD_TYPE_TRACE, KF_FD_TYPE_TEXT, KF_FD_TYPE_CTTY = (
    -1, -2, -3, -4, -5, -6)
KF_ATTR_VALID = 0x1
KF_FLAG_READ, KF_FLAG_WRITE, KF_FLAG_APPEND = 0x1, 0x2, 0x4

KVME_TYPE_NONE, KVME_TYPE_DEFAULT, KVME_TYPE_VNODE, KVME_TYPE_SWAP, KVME_TYPE_DEVICE = 0, 1, 2, 3, 4
KVME_TYPE_PHYS, KVME_TYPE_DEAD, KVME_TYPE_SG, KVME_TYPE_MGTDEVICE, KVME_TYPE_GUARD = 5, 6, 7, 8, 9
KVME_TYPE_UNKNOWN = 255
KVME_PROT_READ, KVME_PROT_WRITE, KVME_PROT_EXEC = 0x1, 0x2, 0x4
KVME_FLAG_COW, KVME_FLAG_NEEDS_COPY, KVME_FLAG_GROWS_DOWN = 0x1, 0x2, 0x20

_RUSAGE = {name: (8 * i, "<q") for i, name in enumerate((
    "ru_maxrss", "ru_ixrss", "ru_idrss", "ru_isrss", "ru_minflt", "ru_majflt", "ru_nswap", "ru_inblock",
    "ru_oublock", "ru_msgsnd", "ru_msgrcv", "ru_nsignals", "ru_nvcsw", "ru_nivcsw"), start=4)}
_RUSAGE.update(ru_utime=(0, "<qq"), ru_stime=(16, "<qq"))
RUSAGE = Layout("rusage", 144, _RUSAGE)
RUSAGE_GID = Layout("gid_t", 4, {"gid": (0, "<I")})

KINFO_PROC = Layout("kinfo_proc", KINFO_PROC_SIZE, {
    "ki_structsize": (0, "<i"), "ki_layout": (4, "<i"),
    "ki_pid": (72, "<i"), "ki_ppid": (76, "<i"), "ki_pgid": (80, "<i"), "ki_tpgid": (84, "<i"),
    "ki_sid": (88, "<i"), "ki_tsid": (92, "<i"), "ki_jobc": (96, "<h"),
    "ki_uid": (168, "<I"), "ki_ruid": (172, "<I"), "ki_svuid": (176, "<I"), "ki_rgid": (180, "<I"),
    "ki_svgid": (184, "<I"), "ki_ngroups": (188, "<h"),
    "ki_size": (256, "<Q"), "ki_rssize": (264, "<q"), "ki_swrss": (272, "<q"), "ki_tsize": (280, "<q"),
    "ki_dsize": (288, "<q"), "ki_ssize": (296, "<q"), "ki_xstat": (304, "<H"), "ki_acflag": (306, "<H"),
    "ki_pctcpu": (308, "<I"), "ki_estcpu": (312, "<I"), "ki_slptime": (316, "<I"), "ki_swtime": (320, "<I"),
    "ki_cow": (324, "<I"), "ki_runtime": (328, "<Q"), "ki_start": (336, "<qq"), "ki_childtime": (352, "<qq"),
    "ki_flag": (368, "<q"), "ki_kiflag": (376, "<q"), "ki_traceflag": (384, "<i"), "ki_stat": (388, "<b"),
    "ki_nice": (389, "<b"), "ki_lock": (390, "<b"), "ki_rqindex": (391, "<b"),
    "ki_tdname": (394, "17s"), "ki_wmesg": (411, "9s"), "ki_login": (420, "18s"), "ki_lockname": (438, "9s"),
    "ki_comm": (447, "20s"), "ki_emul": (467, "17s"), "ki_loginclass": (484, "18s"),
    "ki_moretdname": (502, "4s"), "ki_tdev": (560, "<Q"), "ki_oncpu": (568, "<i"), "ki_lastcpu": (572, "<i"),
    "ki_tracer": (576, "<i"), "ki_flag2": (580, "<i"), "ki_fibnum": (584, "<i"), "ki_cr_flags": (588, "<I"),
    "ki_jid": (592, "<i"), "ki_numthreads": (596, "<i"), "ki_tid": (600, "<i"), "ki_pri": (604, "<4B"),
    "ki_sflag": (1072, "<q"), "ki_tdflags": (1080, "<q"),
})
_GROUPS_AT, _KI_NGROUPS = 192, 16
_RUSAGE_AT, _RUSAGE_CH_AT = 608, 752


def _rusage_into(rec: bytearray, base: int, values: Mapping[str, Any], name: str) -> None:
    values = dict(values)
    for field in ("ru_utime", "ru_stime"):
        if field in values:
            values[field] = timeval(values[field], f"{name}.{field}")
    RUSAGE.pack_into(rec, base, values)


def kinfo_proc(ki_pid: int, **fields: Any) -> bytes:
    """One struct kinfo_proc as fill_kinfo_proc writes it. Defaults: a
    running process of root in memory, child of init, one
    thread (id FIRST_TID + pid), no terminal, not on a CPU, named
    "proc<pid>". A zombie (ki_stat=SZOMB) has no memory left: its sizes
    must be zero."""
    if not 0 <= ki_pid < 2 ** 31 - FIRST_TID:
        raise RecordError(f"kinfo_proc.ki_pid {ki_pid}: a pid is not negative")
    values: Dict[str, Any] = {
        "ki_structsize": KINFO_PROC_SIZE, "ki_pid": ki_pid, "ki_ppid": 1 if ki_pid > 1 else 0,
        "ki_pgid": ki_pid, "ki_sid": ki_pid, "ki_ngroups": 1, "ki_flag": P_INMEM, "ki_stat": SRUN,
        "ki_comm": f"proc{ki_pid}", "ki_emul": "FreeBSD ELF64", "ki_tdev": NODEV, "ki_oncpu": NOCPU,
        "ki_numthreads": 1, "ki_tid": FIRST_TID + ki_pid, "ki_pri": (3, 120, 120, 120),
    }
    rusage = fields.pop("ki_rusage", {})
    rusage_ch = fields.pop("ki_rusage_ch", {})
    groups = list(fields.pop("ki_groups", [fields.get("ki_rgid", 0)]))
    values.update(fields)
    if "ki_ngroups" not in fields:
        values["ki_ngroups"] = len(groups)
    for field in ("ki_start", "ki_childtime"):
        if field in values:
            values[field] = timeval(values[field], f"kinfo_proc.{field}")
    if values["ki_structsize"] != KINFO_PROC_SIZE:
        raise RecordError(f"kinfo_proc.ki_structsize is {KINFO_PROC_SIZE} on amd64")
    if not 1 <= values["ki_stat"] <= SLOCK:
        raise RecordError(f"kinfo_proc.ki_stat {values['ki_stat']}: states run from SIDL (1) to SLOCK (7)")
    if values["ki_stat"] == SZOMB and any(values.get(f) for f in ("ki_size", "ki_rssize", "ki_tsize",
                                                                   "ki_dsize", "ki_ssize")):
        raise RecordError("kinfo_proc: a zombie has no address space left to measure")
    if not 0 < len(groups) <= _KI_NGROUPS or values["ki_ngroups"] != len(groups):
        raise RecordError(f"kinfo_proc.ki_groups: 1 to {_KI_NGROUPS} groups, as many as ki_ngroups")
    rec = bytearray(KINFO_PROC_SIZE)
    KINFO_PROC.pack_into(rec, 0, values)
    for i, gid in enumerate(groups):
        RUSAGE_GID.pack_into(rec, _GROUPS_AT + 4 * i, {"gid": gid})
    _rusage_into(rec, _RUSAGE_AT, rusage, "ki_rusage")
    _rusage_into(rec, _RUSAGE_CH_AT, rusage_ch, "ki_rusage_ch")
    return bytes(rec)


def zombie(ki_pid: int, **fields: Any) -> bytes:
    """A process that has exited and not been reaped: SZOMB, no threads
    running, no address space, the exit status in ki_xstat."""
    fields.setdefault("ki_stat", SZOMB)
    fields.setdefault("ki_flag", P_INMEM | P_WEXIT)
    return kinfo_proc(ki_pid, **fields)


def threads(ki_pid: int, per_thread: Sequence[Mapping[str, Any]], **fields: Any) -> bytes:
    """kern.proc.pid_td: one kinfo_proc per thread, the process's fields in
    each, a thread's own fields (ki_tid, ki_tdname, ki_rusage, ki_lastcpu...)
    from per_thread; ki_numthreads is the count. Thread ids default to
    FIRST_TID + pid, + 1, ..."""
    if not per_thread:
        raise RecordError("kern.proc.pid_td: a live process has at least one thread")
    out = []
    first = fields.get("ki_tid", FIRST_TID + ki_pid)
    for i, own in enumerate(per_thread):
        values = dict(fields, ki_numthreads=len(per_thread), ki_tid=first + i)
        values.update(own)
        out.append(kinfo_proc(ki_pid, **values))
    tids = [int.from_bytes(r[600:604], "little", signed=True) for r in out]
    if len(set(tids)) != len(tids):
        raise RecordError("kern.proc.pid_td: thread ids are unique")
    return b"".join(out)


KINFO_FILE = Layout("kinfo_file", KINFO_FILE_SIZE, {
    "kf_structsize": (0, "<i"), "kf_type": (4, "<i"), "kf_fd": (8, "<i"), "kf_ref_count": (12, "<i"),
    "kf_flags": (16, "<i"), "kf_offset": (24, "<q"), "kf_vnode_type": (32, "<i"), "kf_sock_domain": (36, "<i"),
    "kf_sock_type": (40, "<i"), "kf_sock_protocol": (44, "<i"), "kf_sa_local": (48, "128s"),
    "kf_sa_peer": (176, "128s"), "kf_file_fsid": (288, "<Q"), "kf_file_rdev": (296, "<Q"),
    "kf_file_fileid": (304, "<Q"), "kf_file_size": (312, "<Q"), "kf_file_mode": (328, "<H"),
    "kf_sock_pcb": (304, "<Q"), "kf_sock_inpcb": (312, "<Q"), "kf_sock_unpconn": (320, "<Q"),
    "kf_pipe_addr": (304, "<Q"), "kf_pipe_peer": (312, "<Q"), "kf_status": (336, "<H"),
    "kf_path": (368, "1024s"),
})
# The descriptor types whose records carry a path.
_HAS_PATH = {KF_TYPE_VNODE, KF_TYPE_FIFO, KF_TYPE_SHM, KF_TYPE_SEM, KF_TYPE_PTS, KF_TYPE_DEV, KF_TYPE_MQUEUE}
# Socket addresses are raw sockaddr bytes, which may hold NULs.
_SOCKADDR_FIELDS = ("kf_sa_local", "kf_sa_peer")


def kinfo_file(kf_fd: int, kf_type: int = KF_TYPE_VNODE, kf_vnode_type: Optional[int] = None,
               kf_path: Any = b"", **fields: Any) -> bytes:
    """One struct kinfo_file as kinfo_getfile hands it out (libutil unpacks
    the kernel's packed records into whole ones: kf_structsize 1392). A
    vnode defaults to a regular file; descriptors the kernel could fill
    carry KF_ATTR_VALID. Sockets take kf_sock_domain/type/protocol and
    kf_sa_local/kf_sa_peer (sockaddr bytes)."""
    if kf_fd < KF_FD_TYPE_CTTY:
        raise RecordError(f"kinfo_file.kf_fd {kf_fd}: below the special records (KF_FD_TYPE_CTTY -6)")
    if kf_vnode_type is None:
        kf_vnode_type = KF_VTYPE_VREG if kf_type == KF_TYPE_VNODE else KF_VTYPE_VNON
    if kf_path and kf_type not in _HAS_PATH:
        raise RecordError(f"kinfo_file: a descriptor of type {kf_type} has no path")
    sockaddrs = {name: fields.pop(name) for name in _SOCKADDR_FIELDS if name in fields}
    values: Dict[str, Any] = {"kf_structsize": KINFO_FILE_SIZE, "kf_type": kf_type, "kf_fd": kf_fd,
                              "kf_ref_count": 1, "kf_status": KF_ATTR_VALID, "kf_path": kf_path}
    if kf_type != KF_TYPE_SOCKET:
        values["kf_vnode_type"] = kf_vnode_type
    values.update(fields)
    if values["kf_structsize"] != KINFO_FILE_SIZE:
        raise RecordError(f"kinfo_file.kf_structsize is {KINFO_FILE_SIZE} once libutil unpacked it")
    rec = bytearray(KINFO_FILE.pack(values))
    for name, raw in sockaddrs.items():
        offset = KINFO_FILE.fields[name][0]
        raw = bytes(raw)
        if len(raw) > 128 or (raw and raw[0] != len(raw)):
            raise RecordError(f"kinfo_file.{name}: sa_len must give the address's own length (at most 128)")
        rec[offset:offset + len(raw)] = raw
    return bytes(rec)


def text_vnode(path: Any) -> bytes:
    """The executable (KF_FD_TYPE_TEXT)."""
    return kinfo_file(KF_FD_TYPE_TEXT, KF_TYPE_VNODE, KF_VTYPE_VREG, path, kf_flags=KF_FLAG_READ)


def cwd(path: Any) -> bytes:
    return kinfo_file(KF_FD_TYPE_CWD, KF_TYPE_VNODE, KF_VTYPE_VDIR, path, kf_flags=KF_FLAG_READ)


def root(path: Any = "/") -> bytes:
    return kinfo_file(KF_FD_TYPE_ROOT, KF_TYPE_VNODE, KF_VTYPE_VDIR, path, kf_flags=KF_FLAG_READ)


def jail(path: Any) -> bytes:
    return kinfo_file(KF_FD_TYPE_JAIL, KF_TYPE_VNODE, KF_VTYPE_VDIR, path, kf_flags=KF_FLAG_READ)


def ctty(path: Any) -> bytes:
    """The controlling terminal."""
    return kinfo_file(KF_FD_TYPE_CTTY, KF_TYPE_VNODE, KF_VTYPE_VCHR, path,
                      kf_flags=KF_FLAG_READ | KF_FLAG_WRITE)


def trace(path: Any) -> bytes:
    """The ktrace file of a traced process."""
    return kinfo_file(KF_FD_TYPE_TRACE, KF_TYPE_VNODE, KF_VTYPE_VREG, path, kf_flags=KF_FLAG_WRITE)


def file_table(descriptors: Iterable[bytes] = (), *, text: Any = None, cwd_path: Any = "/", root_path: Any = "/",
               ctty_path: Any = None, jail_path: Any = None, trace_path: Any = None) -> bytes:
    """A process's whole descriptor table in kern_proc_filedesc_out's order:
    ktrace file, text, controlling terminal, working directory, root, jail,
    then the descriptors by ascending number (which must be distinct)."""
    out: List[bytes] = []
    if trace_path is not None:
        out.append(trace(trace_path))
    if text is not None:
        out.append(text_vnode(text))
    if ctty_path is not None:
        out.append(ctty(ctty_path))
    if cwd_path is not None:
        out.append(cwd(cwd_path))
    if root_path is not None:
        out.append(root(root_path))
    if jail_path is not None:
        out.append(jail(jail_path))
    records = list(descriptors)
    fds = [int.from_bytes(r[8:12], "little", signed=True) for r in records]
    if any(fd < 0 for fd in fds) or len(set(fds)) != len(fds):
        raise RecordError("file_table: descriptors are distinct numbers from 0; special records are arguments")
    out += [r for _, r in sorted(zip(fds, records), key=lambda pair: pair[0])]
    return b"".join(out)


KINFO_VMENTRY = Layout("kinfo_vmentry", KINFO_VMENTRY_SIZE, {
    "kve_structsize": (0, "<i"), "kve_type": (4, "<i"), "kve_start": (8, "<Q"), "kve_end": (16, "<Q"),
    "kve_offset": (24, "<Q"), "kve_vn_fileid": (32, "<Q"), "kve_flags": (44, "<i"), "kve_resident": (48, "<i"),
    "kve_private_resident": (52, "<i"), "kve_protection": (56, "<i"), "kve_ref_count": (60, "<i"),
    "kve_shadow_count": (64, "<i"), "kve_vn_type": (68, "<i"), "kve_vn_size": (72, "<Q"),
    "kve_vn_mode": (84, "<H"), "kve_status": (86, "<H"), "kve_vn_fsid": (88, "<Q"), "kve_vn_rdev": (96, "<Q"),
    "kve_path": (136, "1024s"),
})
_KVME_TYPES = {KVME_TYPE_NONE, KVME_TYPE_DEFAULT, KVME_TYPE_VNODE, KVME_TYPE_SWAP, KVME_TYPE_DEVICE,
               KVME_TYPE_PHYS, KVME_TYPE_DEAD, KVME_TYPE_SG, KVME_TYPE_MGTDEVICE, KVME_TYPE_GUARD,
               KVME_TYPE_UNKNOWN}


def kinfo_vmentry(kve_start: int, kve_end: int, kve_protection: int = KVME_PROT_READ,
                  kve_type: int = KVME_TYPE_SWAP, kve_path: Any = b"", **fields: Any) -> bytes:
    """One struct kinfo_vmentry as kinfo_getvmmap hands it out. Entries are
    whole pages; anonymous memory is a swap object on 14 (KVME_TYPE_SWAP);
    only a vnode has a path; resident counts are pages of the entry."""
    if kve_start % PAGE_SIZE or kve_end % PAGE_SIZE or not kve_start < kve_end:
        raise RecordError(f"kinfo_vmentry: {kve_start:#x}-{kve_end:#x} is not a run of whole pages")
    if kve_type not in _KVME_TYPES:
        raise RecordError(f"kinfo_vmentry.kve_type {kve_type}: not a KVME_TYPE_*")
    if kve_protection & ~7:
        raise RecordError(f"kinfo_vmentry.kve_protection {kve_protection:#x}: only READ, WRITE and EXEC")
    if kve_path and kve_type != KVME_TYPE_VNODE:
        raise RecordError("kinfo_vmentry: only a vnode entry has a path")
    pages = (kve_end - kve_start) // PAGE_SIZE
    values: Dict[str, Any] = {"kve_structsize": KINFO_VMENTRY_SIZE, "kve_type": kve_type, "kve_start": kve_start,
                              "kve_end": kve_end, "kve_protection": kve_protection, "kve_ref_count": 1,
                              "kve_path": kve_path}
    if kve_type == KVME_TYPE_VNODE:
        values.update(kve_vn_type=KF_VTYPE_VREG, kve_status=KF_ATTR_VALID)
    values.update(fields)
    if values["kve_structsize"] != KINFO_VMENTRY_SIZE:
        raise RecordError(f"kinfo_vmentry.kve_structsize is {KINFO_VMENTRY_SIZE} once libutil unpacked it")
    if not 0 <= values.get("kve_private_resident", 0) <= values.get("kve_resident", 0) <= pages:
        raise RecordError("kinfo_vmentry: 0 <= kve_private_resident <= kve_resident <= the entry's pages")
    return KINFO_VMENTRY.pack(values)


RLIM_INFINITY = 0x7FFFFFFFFFFFFFFF


def rlimit(soft: int, hard: int) -> bytes:
    """kern.proc.rlimit.<pid>.<resource>: struct rlimit, soft then hard
    (RLIM_INFINITY for none); the soft limit does not exceed the hard."""
    if not 0 <= soft <= hard <= RLIM_INFINITY:
        raise RecordError("rlimit: 0 <= rlim_cur <= rlim_max <= RLIM_INFINITY")
    return _struct.pack("<qq", soft, hard)


def args(*argv: Any) -> bytes:
    """kern.proc.args: each argument NUL-terminated, back to back."""
    return b"".join(text(a, 1 << 20, "kern.proc.args") + b"\0" for a in argv)


def pathname(path: Any) -> bytes:
    """kern.proc.pathname: the path and its NUL ("" for a process without one)."""
    return text(path, 1024, "kern.proc.pathname") + b"\0"
