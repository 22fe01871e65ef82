# Typed interface of the _norvik_bsd extension module.
#
# Conventions:
# - Every parameter is positional-only ("/"): the functions take positional
#   arguments and refuse keywords. Functions declared without parameters
#   ignore any positional arguments they are given.
# - Results are plain tuples, lists and dicts. A tuple alias lists its fields
#   one per line, in order, each with "# name: meaning, unit" beside it; the
#   aliases start with "_" because they exist only here, not at run time.
# - "X | None" marks a value that may be missing; the comment says when.
# - Units: times in float seconds unless a field says otherwise, sizes in
#   bytes, counters as the kernel keeps them (cumulative since boot).

from collections.abc import Iterable, Sequence
from typing import Final

# Portable constants
AF_LINK: Final = 18  # link-level address family (net_if_addrs)
RLIMIT_CPU: Final = 0  # CPU time, seconds
RLIMIT_FSIZE: Final = 1  # file size, bytes
RLIMIT_DATA: Final = 2  # data segment size, bytes
RLIMIT_STACK: Final = 3  # stack size, bytes
RLIMIT_CORE: Final = 4  # core file size, bytes
RLIMIT_RSS: Final = 5  # resident set size, bytes
RLIMIT_MEMLOCK: Final = 6  # locked memory, bytes
RLIMIT_NPROC: Final = 7  # processes of the user
RLIMIT_NOFILE: Final = 8  # open files
RLIMIT_SBSIZE: Final = 9  # socket buffer size, bytes
RLIMIT_AS: Final = 10  # address space size, bytes
RLIMIT_NPTS: Final = 11  # pseudo-terminals
RLIMIT_SWAP: Final = 12  # swap space, bytes
RLIM_INFINITY: Final = 9223372036854775807  # no limit (2**63 - 1)

# Module version
version: Final = 722

# Process states (field "state" of proc_oneshot_info)
SIDL: Final = 1  # being created by fork
SRUN: Final = 2  # runnable: running or waiting for a CPU
SSLEEP: Final = 3  # sleeping on an event
SSTOP: Final = 4  # stopped (debugging or suspension)
SZOMB: Final = 5  # zombie: exited, not yet collected by its parent
SWAIT: Final = 6  # waiting for an interrupt
SLOCK: Final = 7  # blocked on a lock

# TCP states (field "status" of the connection tuples)
TCPS_CLOSED: Final = 0
TCPS_LISTEN: Final = 1
TCPS_SYN_SENT: Final = 2
TCPS_SYN_RECEIVED: Final = 3
TCPS_ESTABLISHED: Final = 4
TCPS_CLOSE_WAIT: Final = 5
TCPS_FIN_WAIT_1: Final = 6
TCPS_CLOSING: Final = 7
TCPS_LAST_ACK: Final = 8
TCPS_FIN_WAIT_2: Final = 9
TCPS_TIME_WAIT: Final = 10
NORVIK_CONN_NONE: Final = 128  # status of a socket without a TCP state

# Raised when a process is a zombie and the asked fact is gone with it. Its
# __module__ is "_norvik_posix", a module that cannot be imported, so an
# instance does not pickle; it is reached as _norvik_bsd.ZombieProcessError.
class ZombieProcessError(Exception): ...

# Result layouts

_OneshotInfo = tuple[
    int,  # ppid: parent process id
    int,  # state: process state, one of SIDL to SLOCK
    int,  # ruid: real user id
    int,  # euid: effective user id
    int,  # suid: saved user id
    int,  # rgid: real group id
    int,  # egid: effective group id
    int,  # sgid: saved group id
    int,  # tty: controlling terminal device number, -1 for none
    float,  # create_time: start time, seconds since the epoch
    int,  # ctx_voluntary: voluntary context switches
    int,  # ctx_involuntary: involuntary context switches
    int,  # read_count: block input operations (on Linux: bytes read / 512)
    int,  # write_count: block output operations (on Linux: bytes written / 512)
    float,  # user_time: user CPU time, seconds
    float,  # system_time: system CPU time, seconds
    float,  # children_user_time: user CPU time of waited-for children, seconds
    float,  # children_system_time: system CPU time of waited-for children, seconds
    int,  # rss: resident set size, bytes
    int,  # vms: virtual size, bytes
    int,  # text: text size, bytes
    int,  # data: data size, bytes
    int,  # stack: stack size, bytes
    int,  # cpu: CPU it runs on when running, else the one it last ran on
    str | None,  # name: command name, None when it cannot be decoded
]

_Thread = tuple[
    int,  # tid: thread id
    float,  # user_time: user CPU time, seconds
    float,  # system_time: system CPU time, seconds
]

_OpenFile = tuple[
    str,  # path: path of the regular file
    int,  # fd: descriptor number, negative for the kernel's special records
]

_MemoryMap = tuple[
    str,  # addr: address range "0x<start>-0x<end>", lower-case hexadecimal
    str,  # perms: "r", "w", "x" or "-" for each of read, write, execute
    str,  # path: mapped file, or the mapping type such as "[swap]" when none
    int,  # rss: resident pages
    int,  # private: pages resident and private to the mapped object
    int,  # ref_count: references to the mapped object
    int,  # shadow_count: shadow objects of the mapped object
]

_RLimit = tuple[
    int,  # soft: soft limit, RLIM_INFINITY for none
    int,  # hard: hard limit, RLIM_INFINITY for none
]

_CpuTimes = tuple[
    float,  # user: time in user mode, seconds
    float,  # nice: time in user mode at lowered priority, seconds
    float,  # system: time in the kernel, seconds
    float,  # idle: idle time, seconds
    float,  # interrupt: time serving interrupts, seconds
]

_CpuStats = tuple[
    int,  # ctx_switches: context switches since boot (wraps at 2**32, as every field here)
    int,  # interrupts: interrupts since boot
    int,  # soft_interrupts: software interrupts since boot
    int,  # syscalls: system calls since boot (always 0 on Linux)
    int,  # traps: traps since boot
]

_CpuFreq = tuple[
    int,  # current: current frequency, MHz
    str,  # levels: the kernel's list of "MHz/mW" levels, "" when unreadable
]

_VirtualMem = tuple[
    int,  # total: physical memory, bytes
    int,  # free: free pages, bytes
    int,  # active: pages on the active queue, bytes
    int,  # inactive: pages on the inactive queue, bytes
    int,  # wired: wired pages, bytes
    int,  # cached: cached pages, bytes (always 0: FreeBSD has no cache queue since 12)
    int,  # buffers: file system buffer cache, bytes
    int,  # shared: shared virtual and real memory, bytes (always 0 on Linux)
]

_SwapMem = tuple[
    int,  # total: swap space, bytes
    int,  # used: used swap space, bytes
    int,  # free: free swap space, bytes
    int,  # swap_ops: swap pager operations, in and out together (wraps at 2**32)
    int,  # vnode_ops: vnode pager operations, in and out together (wraps at 2**32)
]

_HeapInfo = tuple[
    int,  # allocated: bytes allocated by the program
    int,  # mapped: bytes mapped by the allocator
]

_Partition = tuple[
    str,  # device: mounted-from name
    str,  # mountpoint: mount point
    str,  # fstype: file system type
    str,  # opts: "ro" or "rw", then ",flag" for each mount flag set
]

_DiskIO = tuple[
    int,  # read_count: read operations
    int,  # write_count: write operations
    int,  # read_bytes: bytes read
    int,  # write_bytes: bytes written
    int,  # read_time: time spent reading, milliseconds
    int,  # write_time: time spent writing, milliseconds
    int,  # busy_time: time the device was busy, milliseconds
]

_Battery = tuple[
    int,  # percent: remaining capacity, percent (-1 when unknown)
    int,  # minutes_left: remaining running time, minutes (negative when unknown)
    int,  # power_plugged: mains power state, 1 on mains power
]

_Temperature = tuple[
    int,  # current: temperature, degrees Celsius
    int,  # high: maximum junction temperature, degrees Celsius (-273 when unknown)
]

_User = tuple[
    str,  # name: user name
    str,  # terminal: terminal line
    str,  # host: remote host, "localhost" for a local login
    float,  # started: login time, whole seconds since the epoch
    int,  # pid: login process id
]

_NetIO = tuple[
    int,  # bytes_sent: bytes sent
    int,  # bytes_recv: bytes received
    int,  # packets_sent: packets sent
    int,  # packets_recv: packets received
    int,  # errin: input errors
    int,  # errout: output errors
    int,  # dropin: packets dropped on input
    int,  # dropout: packets dropped on output
]

_IfAddr = tuple[
    str,  # name: interface name
    int,  # family: address family (AF_INET 2, AF_INET6 28, AF_LINK 18, ...)
    str,  # address: address text, hardware address as "xx:xx:..."
    str | None,  # netmask: netmask text, None when there is none
    str | None,  # broadcast: broadcast address, None unless the interface broadcasts
    str | None,  # ptp: point-to-point peer address, None unless point-to-point
]

# [duplex, speed]: duplex 2 full, 1 half, 0 unknown; speed in Mbit/s, 0 unknown
_DuplexSpeed = list[int]

_Address = tuple[str, int]  # (address text, port in host byte order)

_InetConnection = tuple[
    int,  # fd: descriptor number
    int,  # family: AF_INET 2 or AF_INET6 28
    int,  # socktype: SOCK_STREAM 1 or SOCK_DGRAM 2
    _Address,  # laddr: local address and port
    _Address | tuple[()],  # raddr: remote address and port, () when the remote port is 0
    int,  # status: TCP state, NORVIK_CONN_NONE for UDP
    int,  # pid: owning process id
]

_UnixConnection = tuple[
    int,  # fd: descriptor number
    int,  # family: AF_UNIX 1
    int,  # socktype: SOCK_STREAM 1 or SOCK_DGRAM 2
    str,  # laddr: bound path, "" when not bound
    str,  # raddr: always ""
    int,  # status: always NORVIK_CONN_NONE
    int,  # pid: owning process id
]

_ProcInetConnection = tuple[
    int,  # fd: descriptor number
    int,  # family: AF_INET 2 or AF_INET6 28
    int,  # socktype: socket type (SOCK_STREAM 1, SOCK_DGRAM 2, SOCK_RAW 3, ...)
    _Address,  # laddr: local address and port
    _Address | tuple[()],  # raddr: remote address and port, () when the remote port is 0
    int,  # status: TCP state of a stream socket, else NORVIK_CONN_NONE
]

_ProcUnixConnection = tuple[
    int,  # fd: descriptor number
    int,  # family: AF_UNIX 1
    int,  # socktype: socket type
    str,  # laddr: bound path, "" when not bound
    str,  # raddr: always ""
    int,  # status: always NORVIK_CONN_NONE
]

# Processes
def pids() -> list[int]: ...
def check_pid_range(pid: int, /) -> None: ...
def proc_is_zombie(pid: int, /) -> bool: ...
def proc_oneshot_info(pid: int, /) -> _OneshotInfo: ...
def proc_name(pid: int, /) -> str: ...
def proc_num_threads(pid: int, /) -> int: ...
def proc_cmdline(pid: int, /) -> list[str]: ...
def proc_environ(pid: int, /) -> dict[str, str]: ...
def proc_exe(pid: int, /) -> str: ...
def proc_cwd(pid: int, /) -> str: ...
def proc_threads(pid: int, /) -> list[_Thread]: ...
def proc_open_files(pid: int, /) -> list[_OpenFile]: ...
def proc_num_fds(pid: int, /) -> int: ...
def proc_memory_maps(pid: int, /) -> list[_MemoryMap]: ...
def proc_cpu_affinity_get(pid: int, /) -> list[int]: ...
def proc_cpu_affinity_set(pid: int, cpus: Iterable[int], /) -> None: ...
def proc_getrlimit(pid: int, resource: int, /) -> _RLimit: ...
def proc_setrlimit(pid: int, resource: int, soft: int, hard: int, /) -> None: ...
def proc_priority_get(pid: int, /) -> int: ...
def proc_priority_set(pid: int, priority: int, /) -> None: ...
def proc_net_connections(
    pid: int, families: Sequence[int], types: Sequence[int], /
) -> list[_ProcInetConnection | _ProcUnixConnection]: ...

# CPU and boot time
def cpu_count_logical() -> int | None: ...
def cpu_times() -> _CpuTimes: ...
def per_cpu_times() -> list[_CpuTimes]: ...
def cpu_stats() -> _CpuStats: ...
def cpu_freq(cpu: int, /) -> _CpuFreq: ...
def cpu_topology() -> str | None: ...
def boot_time() -> float: ...

# Memory and the allocator
def getpagesize() -> int: ...
def virtual_mem() -> _VirtualMem: ...
def swap_mem() -> _SwapMem: ...
def heap_info() -> _HeapInfo: ...
def heap_trim() -> None: ...

# Disks
def disk_partitions() -> list[_Partition]: ...
def disk_io_counters() -> dict[str, _DiskIO]: ...

# Sensors and users
def sensors_battery() -> _Battery: ...
def sensors_cpu_temperature(cpu: int, /) -> _Temperature: ...
def users() -> list[_User]: ...

# Network
def net_io_counters() -> dict[str, _NetIO]: ...
def net_if_addrs() -> list[_IfAddr]: ...
def net_if_flags(name: str, /) -> list[str]: ...
def net_if_is_running(name: str, /) -> bool: ...
def net_if_mtu(name: str, /) -> int: ...
def net_if_duplex_speed(name: str, /) -> _DuplexSpeed: ...
def net_connections(
    families: Sequence[int], types: Sequence[int], /
) -> list[_InetConnection | _UnixConnection]: ...

# Diagnostics
def set_debug(value: object, /) -> None: ...
