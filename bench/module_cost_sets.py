"""Ready-made FreeBSD record sets of any size, for the module-cost rows and
their test: what the scripted kernel answers for each table, the module's call
over it, and the floor's call over the very same bytes.

The records come from the builders of norvik_bsd_testing, so the benchmark
and the scripted tests describe one layout."""
import dataclasses
import os
import random
import sys
from typing import Callable, Dict

PACKAGE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
if PACKAGE not in sys.path:
    sys.path.insert(0, PACKAGE)

from norvik_bsd_testing import net_records as net  # noqa: E402
from norvik_bsd_testing import system_records  # noqa: E402
from norvik_bsd_testing.proc_records import (  # noqa: E402
    KF_FD_TYPE_CWD, KF_FD_TYPE_TEXT, KF_TYPE_PIPE, KF_TYPE_SOCKET, KF_VTYPE_VDIR,
    KVME_TYPE_SWAP, KVME_TYPE_VNODE, kinfo_file, kinfo_proc, kinfo_vmentry)
from norvik_bsd_testing.storage_records import MNT, statfs  # noqa: E402
from norvik_bsd_testing.socket_records import XUNPGEN, pcblist, tcpcb, udpcb, unpcb, xfile  # noqa: E402

# The process whose tables the per-process sets answer.
PID = 4242


@dataclasses.dataclass
class RecordSet:
    label: str
    answers: Dict[str, bytes]          # scripted kernel key -> bytes
    call: Callable                     # call(module) -> the module's answer
    floor: Callable                    # floor(floor_module) -> the same answer, built from the bytes


def answer_all(kernel, records):
    kernel.answer_all(records.answers)


def the_process():
    return kinfo_proc(
        PID, ki_ppid=1, ki_uid=1001, ki_ruid=1001, ki_svuid=1001, ki_rgid=20, ki_svgid=20,
        ki_groups=[20], ki_size=512 << 20, ki_rssize=4096, ki_tsize=300, ki_dsize=2000, ki_ssize=32,
        ki_start=(1765400000, 250000), ki_flag=0x10004000, ki_stat=2, ki_comm=b"benchd",
        ki_tdev=0xFFFFFFFFFFFFFFFF, ki_oncpu=-1, ki_lastcpu=3, ki_numthreads=12, ki_tid=100123,
        ki_rusage={"ru_utime": (12, 500000), "ru_stime": (3, 250000), "ru_inblock": 44, "ru_oublock": 55,
                   "ru_nvcsw": 1000, "ru_nivcsw": 77},
        ki_rusage_ch={"ru_utime": (1, 0), "ru_stime": (0, 5)})


def pids(n):
    records = b"".join(kinfo_proc(100 + i, ki_uid=i % 50) for i in range(n))
    return RecordSet(f"pids() {n:,} processes", {"kern.proc.proc.0": records},
                     lambda m: m.pids(), lambda f: f.pids(records))


def oneshot():
    record = the_process()
    return RecordSet("proc_oneshot_info() one record", {f"kern.proc.pid.{PID}": record},
                     lambda m: m.proc_oneshot_info(PID), lambda f: f.proc_oneshot_info(record))


def descriptors(n):
    """Mostly regular files, with the sockets, pipes, directories and special
    records a busy process has beside them."""
    records = [kinfo_file(KF_FD_TYPE_TEXT, kf_path=b"/usr/local/bin/benchd"),
               kinfo_file(KF_FD_TYPE_CWD, kf_vnode_type=KF_VTYPE_VDIR, kf_path=b"/var/db/bench")]
    for fd in range(n - len(records)):
        if fd % 10 == 7:
            records.append(kinfo_file(fd, KF_TYPE_SOCKET))
        elif fd % 10 == 8:
            records.append(kinfo_file(fd, KF_TYPE_PIPE))
        elif fd % 10 == 9:
            records.append(kinfo_file(fd, kf_vnode_type=KF_VTYPE_VDIR, kf_path=f"/var/db/bench/d{fd}".encode()))
        else:
            records.append(kinfo_file(fd, kf_path=f"/var/db/bench/shard-{fd:05d}.dat".encode()))
    return b"".join(records)


def open_files(n):
    files = descriptors(n)
    answers = {f"kern.proc.pid.{PID}": the_process(), f"kinfo_getfile.{PID}": files}
    return RecordSet(f"proc_open_files() {n:,} descriptors", answers,
                     lambda m: m.proc_open_files(PID), lambda f: f.proc_open_files(files))


def num_fds(n):
    files = descriptors(n)
    answers = {f"kern.proc.pid.{PID}": the_process(), f"kinfo_getfile.{PID}": files}
    return RecordSet(f"proc_num_fds() {n:,} descriptors", answers,
                     lambda m: m.proc_num_fds(PID), lambda f: f.proc_num_fds(files))


def memory_maps(n):
    """Libraries' segments (a file each) between anonymous regions."""
    records = []
    base = 0x800000000
    for i in range(n):
        start, end = base + i * 0x21000, base + i * 0x21000 + 0x20000
        if i % 3 == 2:
            records.append(kinfo_vmentry(start, end, 3, KVME_TYPE_SWAP, kve_resident=i % 32,
                                         kve_private_resident=i % 16))
        else:
            records.append(kinfo_vmentry(start, end, 5 if i % 3 == 0 else 1, KVME_TYPE_VNODE,
                                         f"/usr/local/lib/libbench{i // 3}.so.1".encode(),
                                         kve_resident=i % 32, kve_ref_count=2, kve_shadow_count=i % 2))
    maps = b"".join(records)
    answers = {f"kern.proc.pid.{PID}": the_process(), f"kinfo_getvmmap.{PID}": maps}
    return RecordSet(f"proc_memory_maps() {n:,} mappings", answers,
                     lambda m: m.proc_memory_maps(PID), lambda f: f.proc_memory_maps(maps))


def threads(n):
    records = b"".join(kinfo_proc(PID, ki_tid=100000 + i, ki_numthreads=n,
                                  ki_rusage={"ru_utime": (i, i * 7 % 1000000), "ru_stime": (i // 3, 999)})
                       for i in range(n))
    return RecordSet(f"proc_threads() {n:,} threads", {f"kern.proc.pid_td.{PID}": records},
                     lambda m: m.proc_threads(PID), lambda f: f.proc_threads(records))


def owners(addresses, rng):
    """The open-file table: one descriptor per socket, in an order of its own,
    and every tenth socket also held by a second process after the first."""
    table = [xfile(1000 + i % 400, 3 + i, so) for i, so in enumerate(addresses)]
    table += [xfile(5000 + i, 7, so) for i, so in enumerate(addresses[::10])]
    rng.shuffle(table)
    return b"".join(table)


INET_FAMILIES, UNIX_FAMILIES, BOTH_TYPES = (2, 28), (1,), (1, 2)


def inet_sockets(n):
    """Three TCP connections (IPv4 and IPv6, listening and connected) to
    every UDP socket."""
    rng = random.Random(n)
    tcp, udp, addresses = [], [], []
    for i in range(n):
        so = 0xFFFFF80000000000 + i * 0x400
        addresses.append(so)
        if i % 4 == 3:
            udp.append(udpcb(so, 1024 + i % 60000))
        elif i % 4 == 2:
            tcp.append(tcpcb(so, 443, 0, state=1, vflag=2, family=28,
                             v6=("2001:db8::1", "::")))
        else:
            tcp.append(tcpcb(so, 20000 + i % 40000, 443, state=4))
    answers = {"kern.file": owners(addresses, rng), "net.inet.tcp.pcblist": pcblist(tcp),
               "net.inet.udp.pcblist": pcblist(udp), "net.local.stream.pcblist": pcblist([], XUNPGEN),
               "net.local.dgram.pcblist": pcblist([], XUNPGEN)}
    return RecordSet(f"net_connections() {n:,} inet sockets", answers,
                     lambda m: m.net_connections(INET_FAMILIES, BOTH_TYPES), socket_floor(answers, INET_FAMILIES))


def unix_sockets(n):
    """Named and unnamed, three stream sockets to every datagram one."""
    rng = random.Random(n + 1)
    stream, dgram, addresses = [], [], []
    for i in range(n):
        so = 0xFFFFF80100000000 + i * 0x400
        addresses.append(so)
        path = f"/var/run/bench/s{i}.sock".encode() if i % 2 else b""
        (dgram if i % 4 == 3 else stream).append(unpcb(so, path))
    answers = {"kern.file": owners(addresses, rng), "net.inet.tcp.pcblist": pcblist([]),
               "net.inet.udp.pcblist": pcblist([]), "net.local.stream.pcblist": pcblist(stream, XUNPGEN),
               "net.local.dgram.pcblist": pcblist(dgram, XUNPGEN)}
    return RecordSet(f"net_connections() {n:,} unix sockets", answers,
                     lambda m: m.net_connections(UNIX_FAMILIES, BOTH_TYPES), socket_floor(answers, UNIX_FAMILIES))


def socket_floor(answers, families):
    lists = [answers[key] for key in ("kern.file", "net.inet.tcp.pcblist", "net.inet.udp.pcblist",
                                      "net.local.stream.pcblist", "net.local.dgram.pcblist")]
    inet, local = int(2 in families or 28 in families), int(1 in families)
    return lambda f: f.net_connections(*lists, inet, local)


def interface_name(i):
    return f"vtnet{i}"


def interface_addrs(n):
    """Per interface its link-level address, an IPv4 address with its
    broadcast address, and an IPv6 address; a point-to-point tunnel in ten."""
    up = net.IFF_UP | net.IFF_RUNNING | net.IFF_MULTICAST
    records = []
    for i in range(n):
        name = interface_name(i)
        hw = bytes((2, 0, 0, (i >> 16) & 0xFF, (i >> 8) & 0xFF, i & 0xFF))
        v4 = f"10.{(i >> 8) & 0xFF}.{i & 0xFF}.1"
        if i % 10 == 9:
            flags = up | net.IFF_POINTOPOINT
            dst = net.sockaddr_in(f"172.16.{(i >> 8) & 0xFF}.{i & 0xFF}")
        else:
            flags = up | net.IFF_BROADCAST | net.IFF_SIMPLEX
            dst = net.sockaddr_in(f"10.{(i >> 8) & 0xFF}.{i & 0xFF}.255")
        records.append(net.ifaddrs_record(name, flags, net.sockaddr_dl(name, hw, index=i + 1)))
        records.append(net.ifaddrs_record(name, flags, net.sockaddr_in(v4), net.sockaddr_in("255.255.255.0"), dst))
        records.append(net.ifaddrs_record(name, flags, net.sockaddr_in6(f"2001:db8:{i:x}::1"),
                                          net.sockaddr_in6("ffff:ffff:ffff:ffff::")))
    data = b"".join(records)
    return RecordSet(f"net_if_addrs() {n:,} interfaces", {"getifaddrs": data},
                     lambda m: m.net_if_addrs(), lambda f: f.net_if_addrs(data))


def interface_counters(n):
    """The interface list as the kernel gives it: each interface's RTM_IFINFO
    message then its addresses' RTM_NEWADDR messages, which the walk steps over."""
    messages = []
    for i in range(n):
        counters = tuple(i * 1000 + k for k in range(8))
        messages.append(net.ifinfo(interface_name(i), counters, index=i + 1))
        messages.append(net.newaddr(i + 1, f"10.{(i >> 8) & 0xFF}.{i & 0xFF}.1"))
    data = b"".join(messages)
    return RecordSet(f"net_io_counters() {n:,} interfaces", {net.IFLIST_KEY: data},
                     lambda m: m.net_io_counters(), lambda f: f.net_io_counters(data))


def mounts(n):
    flags = (MNT["local"], MNT["local"] | MNT["noatime"] | MNT["nosuid"], MNT["ro"] | MNT["noexec"] | MNT["acls"],
             MNT["local"] | MNT["softdep"] | MNT["suj"] | MNT["multilabel"])
    kinds = (b"ufs", b"zfs", b"nullfs", b"tmpfs")
    records = b"".join(statfs(f"zroot/jail/j{i}".encode(), f"/usr/jails/j{i}/root".encode(), kinds[i % 4],
                              flags[i % 4]) for i in range(n))
    return RecordSet(f"disk_partitions() {n:,} mounts", {"getfsstat.*": records},
                     lambda m: m.disk_partitions(), lambda f: f.disk_partitions(records))


STATHZ = system_records.STATHZ


def cpu_times(n):
    table = system_records.cp_times((9000 * c + 1, 17 * c, 4000 + c, 900000 - c, 31 * c) for c in range(n))
    answers = {"hw.ncpu": system_records.int32(n), "kern.cp_times": table,
               "kern.clockrate": system_records.clockinfo(stathz=STATHZ)}
    return RecordSet(f"per_cpu_times() {n:,} CPUs", answers,
                     lambda m: m.per_cpu_times(), lambda f: f.per_cpu_times(table, STATHZ))


def topology(n):
    text = system_records.topology(n)
    return RecordSet(f"cpu_topology() {n:,} CPUs", {"kern.sched.topology_spec": text},
                     lambda m: m.cpu_topology(), lambda f: f.cpu_topology(text))


# Each table at its size for the rows; the scaling rows take a tenth of it.
TABLES = [
    (pids, 10000), (open_files, 10000), (num_fds, 10000), (memory_maps, 10000), (threads, 1000),
    (inet_sockets, 10000), (unix_sockets, 10000), (interface_addrs, 1000), (interface_counters, 1000),
    (mounts, 10000), (cpu_times, 256), (topology, 256),
]
