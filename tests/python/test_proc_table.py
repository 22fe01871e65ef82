"""The process table: pids() against /proc listed here and ps, the zombie
test on real zombies and on processes that only look like one, the pid range
check; the scripted kernel for table answers this machine can't give."""
import errno
import os
import resource
import socket
import subprocess
import sys
import threading

import pytest

from norvik_bsd_testing.proc_records import KINFO_PROC_SIZE as SIZE, kinfo_proc
from proc_children import Child, FirstThreadGone, as_nobody, gone_pid, kernel_thread_pid, zombie


def listed_pids():
    return {int(name) for name in os.listdir("/proc") if name.isdigit()}


def test_pids_against_proc_and_ps(norvik):
    children = [subprocess.Popen(["/bin/sleep", "300"]) for _ in range(20)]
    try:
        before = listed_pids()
        table = norvik.pids()
        after = listed_pids()
        by_ps = {int(v) for v in subprocess.run(["ps", "-e", "-o", "pid="], capture_output=True, text=True,
                                                 check=True).stdout.split()}
        assert all(type(pid) is int for pid in table)
        assert len(table) == len(set(table))
        # Whatever lived through both listings is in the table, and the table
        # holds nothing that was in neither.
        assert before & after <= set(table)
        assert set(table) <= before | after
        assert {child.pid for child in children} | {os.getpid(), 1} <= set(table)
        assert (before & after & by_ps) <= set(table)
    finally:
        for child in children:
            child.kill()
            child.wait()


def test_pids_whole_when_no_thread_can_be_started(norvik):
    """The table is built on helper threads where they can be had; a caller
    whose user is at its process limit gets the whole table all the same."""
    def table_at_the_limit():
        resource.setrlimit(resource.RLIMIT_NPROC, (0, 0))
        try:
            threading.Thread(target=lambda: None).start()
            return "a thread could still be started"
        except RuntimeError:
            pass
        return listed_pids(), norvik.pids(), listed_pids()

    children = [subprocess.Popen(["/bin/sleep", "300"]) for _ in range(40)]
    try:
        outcome = as_nobody(table_at_the_limit)
        assert outcome[0] == "ok" and isinstance(outcome[1], tuple), outcome
        before, table, after = outcome[1]
        assert before & after <= set(table) <= before | after
        assert {child.pid for child in children} | {1} <= set(table)
    finally:
        for child in children:
            child.kill()
            child.wait()


def test_pids_lists_processes_not_threads(norvik):
    setup = ("import threading\nev = threading.Event()\n"
             "ts = [threading.Thread(target=ev.wait, daemon=True) for _ in range(3)]\n"
             "[t.start() for t in ts]\nreport = [t.native_id for t in ts]\n")
    with Child(setup) as child:
        table = set(norvik.pids())
        assert child.pid in table
        assert not set(child.report) & table


def test_pids_ignores_arguments(norvik):
    assert os.getpid() in norvik.pids(1, "two", None)


def test_pids_of_a_gone_process(norvik):
    assert gone_pid() not in norvik.pids()


def test_zombie_test(norvik):
    with zombie() as pid:
        assert norvik.proc_is_zombie(pid) is True
        assert pid in norvik.pids()
    assert norvik.proc_is_zombie(pid) is False  # reaped now
    assert norvik.proc_is_zombie(os.getpid()) is False
    assert norvik.proc_is_zombie(kernel_thread_pid()) is False
    assert norvik.proc_is_zombie(gone_pid()) is False
    assert norvik.proc_is_zombie(-1) is False
    assert norvik.proc_is_zombie(0) is False


def test_zombie_test_as_another_user(norvik):
    with zombie() as pid:
        assert as_nobody(lambda: norvik.proc_is_zombie(pid)) == ("ok", True)
    assert as_nobody(lambda: norvik.proc_is_zombie(1)) == ("ok", False)


def test_check_pid_range(norvik):
    assert norvik.check_pid_range(0) is None
    assert norvik.check_pid_range(2 ** 31 - 1) is None
    with pytest.raises(ValueError, match="pid must be a positive integer"):
        norvik.check_pid_range(-1)
    with pytest.raises(OverflowError):
        norvik.check_pid_range(2 ** 31)
    with pytest.raises(OverflowError):
        norvik.check_pid_range(-2 ** 31 - 1)


# The kernel as scripted.

def test_pids_keep_the_kernels_order(norvik, kernel):
    """FreeBSD walks its table in pid-hash order, and proc0 (pid 0, the
    kernel's threads) is part of it."""
    table = (9, 0, 3, 700000, 1, 4100)
    kernel.answer("kern.proc.proc.0", b"".join(kinfo_proc(ki_pid=pid) for pid in table))
    assert norvik.pids() == list(table)
    assert norvik.proc_is_zombie(0) is False


def test_pids_ignore_a_trailing_part_record(norvik, kernel):
    kernel.answer("kern.proc.proc.0", kinfo_proc(ki_pid=4) + kinfo_proc(ki_pid=5)[:SIZE // 2])
    assert norvik.pids() == [4]


@pytest.mark.parametrize("answer", [b"", b"\0" * (SIZE - 1)])
def test_empty_table(norvik, kernel, answer):
    kernel.answer("kern.proc.proc.0", answer)
    with pytest.raises(RuntimeError, match="no PIDs found"):
        norvik.pids()


def test_table_read_failure(norvik, kernel):
    kernel.fail("kern.proc.proc.0", errno.EIO)
    with pytest.raises(OSError) as raised:
        norvik.pids()
    assert raised.value.errno == errno.EIO


def test_table_that_grows_between_size_and_read(norvik, kernel):
    kernel.grow("kern.proc.proc.0", 2)
    assert os.getpid() in norvik.pids()
    assert kernel.count("kern.proc.proc.0", 1) == 3


def test_zombie_test_reads_the_state(norvik, kernel):
    pid = os.getpid()
    kernel.answer(f"kern.proc.pid.{pid}", kinfo_proc(ki_pid=pid, ki_stat=5))
    assert norvik.proc_is_zombie(pid) is True
    kernel.fail(f"kern.proc.pid.{pid}", errno.EPERM)
    assert norvik.proc_is_zombie(pid) is False
    # Nothing is left behind by the failed lookup.
    assert norvik.proc_is_zombie(pid) is False
    assert sys.exc_info() == (None, None, None)


# A process whose first thread has ended while others run on: alive on
# FreeBSD, each answer as the threads that run give it on the host.

FIRST_GONE_SETUP = (
    "import socket\n"
    "f = open(sys.argv[1], 'w')\n"
    "listener = socket.socket(); listener.bind(('127.0.0.1', 0)); listener.listen()\n"
    "report = {'fd': f.fileno(), 'port': listener.getsockname()[1]}\n"
)


@pytest.fixture(scope="module")
def first_gone(tmp_path_factory):
    """The child, its working folder and its open file's path."""
    workdir = tmp_path_factory.mktemp("first-thread-gone")
    path = str(workdir / "held")
    env = dict(os.environ, NORVIK_MARK="first-thread-gone")
    with FirstThreadGone(FIRST_GONE_SETUP, argv_extra=(path,), cwd=workdir, env=env) as child:
        child.workdir, child.path = str(workdir), path
        yield child


def task_file(child, name):
    with open(f"/proc/{child.pid}/task/{child.tids[0]}/{name}") as f:
        return f.read()


def status_kib(child, key):
    line = next(line for line in task_file(child, "status").splitlines() if line.startswith(key + ":"))
    return int(line.split()[1])


def specials(norvik):
    """The records of kinfo_getfile beyond the open descriptors, as a child
    of the usual shape has them."""
    with Child() as child:
        return norvik.proc_num_fds(child.pid) - len(os.listdir(f"/proc/{child.pid}/fd"))


def listens_on(rows, port):
    return any(row[3][1:2] == (port,) and row[5] == 1 for row in rows)


ALL_FAMILIES = (socket.AF_INET, 28, socket.AF_UNIX)  # FreeBSD's AF_INET6 is 28
ALL_TYPES = (socket.SOCK_STREAM, socket.SOCK_DGRAM)

FIRST_GONE_CASES = {
    "pids": lambda n, c: c.pid in n.pids(),
    "proc_is_zombie": lambda n, c: n.proc_is_zombie(c.pid) is False,
    "proc_cmdline": lambda n, c: n.proc_cmdline(c.pid) == c.argv,
    "proc_exe": lambda n, c: n.proc_exe(c.pid) == os.path.realpath(sys.executable),
    "proc_cwd": lambda n, c: n.proc_cwd(c.pid) == c.workdir,
    "proc_environ": lambda n, c: n.proc_environ(c.pid).get("NORVIK_MARK") == "first-thread-gone",
    "proc_open_files": lambda n, c: (c.path, c.report["fd"]) in n.proc_open_files(c.pid),
    "proc_num_fds": lambda n, c: (n.proc_num_fds(c.pid) - len(os.listdir(f"/proc/{c.pid}/task/{c.tids[0]}/fd"))
                                  == specials(n)),
    "proc_memory_maps": lambda n, c: os.path.realpath(sys.executable) in {row[2] for row in n.proc_memory_maps(c.pid)},
    "proc_net_connections": lambda n, c: listens_on(n.proc_net_connections(c.pid, ALL_FAMILIES, ALL_TYPES),
                                                    c.report["port"]),
    "net_connections": lambda n, c: listens_on([r for r in n.net_connections(ALL_FAMILIES, ALL_TYPES)
                                                if r[6] == c.pid], c.report["port"]),
    "proc_num_threads": lambda n, c: n.proc_num_threads(c.pid) == len(c.tids),
    "proc_threads": lambda n, c: sorted(row[0] for row in n.proc_threads(c.pid)) == sorted(c.tids),
    "proc_cpu_affinity_get": lambda n, c: (n.proc_cpu_affinity_get(c.pid)
                                           == sorted(set().union(*map(os.sched_getaffinity, c.tids)))),
    "proc_priority_get": lambda n, c: n.proc_priority_get(c.pid) == os.getpriority(os.PRIO_PROCESS, c.tids[0]),
    "proc_getrlimit": lambda n, c: (n.proc_getrlimit(c.pid, n.RLIMIT_NOFILE)
                                    == resource.prlimit(c.pid, resource.RLIMIT_NOFILE)),
    # The record: alive, the first running thread's state, the memory the
    # threads hold.
    "proc_oneshot_info": lambda n, c: (n.proc_oneshot_info(c.pid)[1] == n.SSLEEP
                                       and n.proc_oneshot_info(c.pid)[19] == int(task_file(c, "stat").rsplit(")", 1)[1].split()[20])
                                       and abs(n.proc_oneshot_info(c.pid)[18] - status_kib(c, "VmRSS") * 1024) < 4 << 20
                                       and n.proc_oneshot_info(c.pid)[21] == status_kib(c, "VmData") * 1024),
}


@pytest.mark.parametrize("call", sorted(FIRST_GONE_CASES))
def test_a_process_whose_first_thread_has_ended_is_alive(norvik, first_gone, call):
    assert state_of(first_gone.pid) == "Z"  # how the host shows it
    assert FIRST_GONE_CASES[call](norvik, first_gone)


def state_of(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs")
def test_changes_reach_the_threads_of_a_process_whose_first_thread_has_ended(norvik):
    cpus = sorted(os.sched_getaffinity(0))
    with FirstThreadGone(threads=3) as child:
        norvik.proc_cpu_affinity_set(child.pid, [cpus[1]])
        assert [os.sched_getaffinity(tid) for tid in child.tids] == [{cpus[1]}] * 3
        assert norvik.proc_cpu_affinity_get(child.pid) == [cpus[1]]
        nice = min(os.getpriority(os.PRIO_PROCESS, 0) + 3, 19)
        norvik.proc_priority_set(child.pid, nice)
        assert [os.getpriority(os.PRIO_PROCESS, tid) for tid in child.tids] == [nice] * 3
        norvik.proc_setrlimit(child.pid, norvik.RLIMIT_NOFILE, 64, 128)
        assert resource.prlimit(child.pid, resource.RLIMIT_NOFILE) == (64, 128)


# A thread id names no process on FreeBSD: every per-process call answers
# ESRCH for one, and a change given one changes nothing.

THREAD_ID_CALLS = {
    "proc_oneshot_info": lambda n, tid: n.proc_oneshot_info(tid),
    "proc_name": lambda n, tid: n.proc_name(tid),
    "proc_num_threads": lambda n, tid: n.proc_num_threads(tid),
    "proc_cmdline": lambda n, tid: n.proc_cmdline(tid),
    "proc_environ": lambda n, tid: n.proc_environ(tid),
    "proc_exe": lambda n, tid: n.proc_exe(tid),
    "proc_cwd": lambda n, tid: n.proc_cwd(tid),
    "proc_threads": lambda n, tid: n.proc_threads(tid),
    "proc_open_files": lambda n, tid: n.proc_open_files(tid),
    "proc_num_fds": lambda n, tid: n.proc_num_fds(tid),
    "proc_memory_maps": lambda n, tid: n.proc_memory_maps(tid),
    "proc_net_connections": lambda n, tid: n.proc_net_connections(tid, ALL_FAMILIES, ALL_TYPES),
    "proc_cpu_affinity_get": lambda n, tid: n.proc_cpu_affinity_get(tid),
    "proc_cpu_affinity_set": lambda n, tid: n.proc_cpu_affinity_set(tid, [sorted(os.sched_getaffinity(0))[0]]),
    "proc_getrlimit": lambda n, tid: n.proc_getrlimit(tid, n.RLIMIT_NOFILE),
    "proc_setrlimit": lambda n, tid: n.proc_setrlimit(tid, n.RLIMIT_NOFILE, 32, 64),
    "proc_priority_get": lambda n, tid: n.proc_priority_get(tid),
    "proc_priority_set": lambda n, tid: n.proc_priority_set(tid, 11),
}


@pytest.fixture(scope="module")
def threaded():
    setup = ("import threading\nev = threading.Event()\n"
             "ts = [threading.Thread(target=ev.wait, daemon=True) for _ in range(2)]\n"
             "[t.start() for t in ts]\nreport = [t.native_id for t in ts]\n")
    with Child(setup) as child:
        yield child


def settings_of(pid, tid):
    return (os.sched_getaffinity(tid), os.getpriority(os.PRIO_PROCESS, tid),
            resource.prlimit(pid, resource.RLIMIT_NOFILE))


@pytest.mark.parametrize("call", sorted(THREAD_ID_CALLS))
def test_a_thread_id_is_no_process_id(norvik, threaded, call):
    tid = threaded.report[0]
    assert os.path.isdir(f"/proc/{tid}")  # the host shows a folder for it
    before = settings_of(threaded.pid, tid)
    with pytest.raises(ProcessLookupError):
        THREAD_ID_CALLS[call](norvik, tid)
    assert settings_of(threaded.pid, tid) == before
    assert norvik.proc_is_zombie(tid) is False
