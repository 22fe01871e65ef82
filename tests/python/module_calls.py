"""Every function of the module with valid arguments, and how two answers of
the same call compare: the table the descriptor- and memory-limit tests and
the soak run walk.

A Call names the function, builds its arguments from a Target (a child the
caller made: threads, sockets, an environment) and says what two answers
must share: all of it for facts that hold still while the child waits; the
shape (types, lengths, keys) for counters that move on their own; for
tables, every entry the test made. Calls that change the child come with a
check of the change against the host.
"""
import os
import resource
import socket

from proc_children import Child

ALL_FAMILIES = (socket.AF_INET, 28, socket.AF_UNIX)  # FreeBSD's AF_INET6 is 28
ALL_TYPES = (socket.SOCK_STREAM, socket.SOCK_DGRAM)
RLIMIT_NOFILE = 8  # FreeBSD's number


# ---- the child the calls look at ---------------------------------------------

TARGET_SETUP = """
import socket, sys, threading
listener = socket.socket(); listener.bind(('127.0.0.1', 0)); listener.listen()
client = socket.create_connection(listener.getsockname()); server, _ = listener.accept()
udp = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM); udp.bind(('::1', 0))
pair = socket.socketpair()
opened = open(sys.executable, 'rb')
stop = threading.Event()
threads = [threading.Thread(target=stop.wait, daemon=True) for _ in range(3)]
[t.start() for t in threads]
report = listener.getsockname()[1]
"""


class Target:
    """A waiting child with three threads, six sockets (a listener, both ends
    of a TCP connection, a UDP socket, a unix pair), a regular file open,
    arguments and an environment of its own."""

    def __init__(self):
        env = {**os.environ, "NORVIK_LIMITS_MARK": "target-environment"}
        self.child = Child(TARGET_SETUP, argv_extra=["limits-target", "two words"], env=env)
        self.pid = self.child.pid
        self.port = self.child.report

    def tids(self):
        return sorted(int(t) for t in os.listdir(f"/proc/{self.pid}/task"))

    def close(self):
        self.child.close()


# ---- how answers compare -----------------------------------------------------

def shape(value):
    """Types, lengths and keys, without the values: what a counter that moves
    between two calls still shares with itself."""
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(shape(v) for v in value))
    if isinstance(value, dict):
        return ("dict", tuple(sorted((k, shape(v)) for k, v in value.items())))
    return type(value).__name__


def same(baseline, answer, target):
    assert answer == baseline


def same_shape(baseline, answer, target):
    assert shape(answer) == shape(baseline)


def close_float(baseline, answer, target):
    assert abs(answer - baseline) < 1.0


def every_live_pid(baseline, answer, target):
    """The table holds every process of the first answer that still lives,
    the target among them: never shorter than the host's."""
    assert answer and len(set(answer)) == len(answer)
    missing = [p for p in baseline if p not in answer and os.path.exists(f"/proc/{p}/stat")]
    assert not missing, f"live processes left out: {missing}"
    assert target.pid in answer


def target_sockets(rows, pid):
    return sorted(row[:6] for row in rows if row[6] == pid)


def every_target_socket(baseline, answer, target):
    """Every socket of the target, each as the unlimited call gave it."""
    mine = target_sockets(answer, target.pid)
    assert len(mine) == 6, mine
    assert mine == target_sockets(baseline, target.pid)


def same_threads(baseline, answer, target):
    assert sorted(t[0] for t in answer) == sorted(t[0] for t in baseline) == target.tids()


def same_mappings(baseline, answer, target):
    assert [m[:3] for m in answer] == [m[:3] for m in baseline]


def same_identity(baseline, answer, target):
    """ppid, state, user and group ids, terminal and start time, and the name."""
    assert answer[:10] == baseline[:10] and answer[-1] == baseline[-1]
    assert shape(answer) == shape(baseline)


# ---- calls that change the target ---------------------------------------------

def affinity_of_threads(pid):
    return {tid: sorted(os.sched_getaffinity(tid)) for tid in map(int, os.listdir(f"/proc/{pid}/task"))}


class Change:
    """A call that changes the target: prepare() returns its arguments for
    the n-th call and what the target is like before it; verify() checks the
    whole change was made when the call succeeded, and none of it when it
    raised."""

    def prepare(self, target, n):
        raise NotImplementedError

    def verify(self, target, before, args, succeeded):
        raise NotImplementedError


class AffinityChange(Change):
    def prepare(self, target, n):
        for tid in target.tids():  # every thread back on every CPU the caller has
            os.sched_setaffinity(tid, os.sched_getaffinity(0))
        cpus = sorted(os.sched_getaffinity(0))
        wanted = [cpus[n % len(cpus)]]
        return (target.pid, wanted), affinity_of_threads(target.pid)

    def verify(self, target, before, args, succeeded):
        after = affinity_of_threads(target.pid)
        if succeeded:
            assert all(mask == args[1] for mask in after.values()), f"threads left unbound: {after}"
        else:
            assert after == before, f"a failed set changed threads: {before} -> {after}"


class PriorityChange(Change):
    def prepare(self, target, n):
        now = os.getpriority(os.PRIO_PROCESS, target.pid)
        return (target.pid, min(now + 1, 19)), now

    def verify(self, target, before, args, succeeded):
        assert os.getpriority(os.PRIO_PROCESS, target.pid) == (args[1] if succeeded else before)


class LimitChange(Change):
    def prepare(self, target, n):
        now = resource.prlimit(target.pid, resource.RLIMIT_NOFILE)
        soft = 300 + n if now[0] != 300 + n else 299
        return (target.pid, RLIMIT_NOFILE, soft, now[1]), now

    def verify(self, target, before, args, succeeded):
        expected = (args[2], args[3]) if succeeded else before
        assert resource.prlimit(target.pid, resource.RLIMIT_NOFILE) == expected


# ---- the table -----------------------------------------------------------------

class Call:
    """`forced`: the fixed answers the module's contract gives for a failed
    read where it passes no errno: ("ok", value) or ("raised", class name,
    message)."""

    def __init__(self, name, args=lambda t: (), compare=same, change=None, forced=()):
        self.name = name
        self.args = args
        self.compare = compare
        self.change = change
        self.forced = forced

    def arguments(self, target, n=0):
        """The arguments of the n-th call on the target."""
        return self.change.prepare(target, n)[0] if self.change is not None else self.args(target)


def pid_of(t):
    return (t.pid,)


CALLS = [
    # processes
    Call("pids", compare=every_live_pid),
    Call("check_pid_range", pid_of),
    Call("proc_oneshot_info", pid_of, same_identity),
    Call("proc_name", pid_of),
    Call("proc_num_threads", pid_of),
    Call("proc_cmdline", pid_of),
    Call("proc_environ", pid_of),
    Call("proc_exe", pid_of),
    Call("proc_cwd", pid_of),
    Call("proc_threads", pid_of, same_threads),
    Call("proc_open_files", pid_of),
    Call("proc_num_fds", pid_of),
    Call("proc_memory_maps", pid_of, same_mappings),
    Call("proc_net_connections", lambda t: (t.pid, ALL_FAMILIES, ALL_TYPES)),
    Call("proc_cpu_affinity_get", pid_of),
    Call("proc_cpu_affinity_set", change=AffinityChange()),
    Call("proc_getrlimit", lambda t: (t.pid, RLIMIT_NOFILE)),
    Call("proc_setrlimit", change=LimitChange()),
    Call("proc_priority_get", pid_of),
    Call("proc_priority_set", change=PriorityChange()),
    Call("proc_is_zombie", pid_of),
    # sockets
    Call("net_connections", lambda t: (ALL_FAMILIES, ALL_TYPES), every_target_socket),
    # CPU
    Call("cpu_count_logical", forced=(("ok", None),)),
    Call("cpu_times", compare=same_shape),
    Call("per_cpu_times", compare=same_shape),
    Call("cpu_stats", compare=same_shape),
    Call("cpu_topology", forced=(("ok", None),)),
    Call("cpu_freq", lambda t: (0,), same_shape),
    Call("boot_time", compare=close_float),
    # memory
    Call("getpagesize"),
    Call("virtual_mem", compare=same_shape),
    Call("swap_mem", compare=same_shape, forced=(("raised", "RuntimeError", "kvm_open() syscall failed"),
                                                 ("raised", "RuntimeError", "kvm_getswapinfo() syscall failed"))),
    Call("heap_info", compare=same_shape),
    Call("heap_trim"),
    # storage
    Call("disk_partitions"),
    Call("disk_io_counters", compare=same_shape,
         forced=(("raised", "RuntimeError", "devstat_checkversion() syscall failed"),
                 ("raised", "RuntimeError", "devstat_getdevs() syscall failed"))),
    # interfaces
    Call("net_io_counters", compare=same_shape),
    Call("net_if_addrs"),
    Call("net_if_flags", lambda t: ("lo",)),
    Call("net_if_mtu", lambda t: ("lo",)),
    Call("net_if_is_running", lambda t: ("lo",)),
    Call("net_if_duplex_speed", lambda t: ("lo",)),
    # sensors and users
    Call("sensors_battery", compare=same_shape),
    Call("sensors_cpu_temperature", lambda t: (0,), same_shape),
    Call("users"),
    Call("set_debug", lambda t: (False,)),
]
