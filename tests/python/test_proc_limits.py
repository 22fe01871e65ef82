"""CPU affinity, resource limits and the nice value of children started with
known settings, checked against os, resource, taskset and prlimit; refusals
seen from a process of user nobody; bad input refused before the kernel."""
import errno
import os
import resource
import subprocess
import time

import pytest

from norvik_bsd_testing.proc_records import rlimit
from norvik_bsd_testing.system_records import int32
from proc_children import Child, as_nobody, gone_pid, zombie

CPUS = sorted(os.sched_getaffinity(0))
TWO_CPUS = pytest.mark.skipif(len(CPUS) < 2, reason="needs two CPUs")
INFINITY = 2 ** 63 - 1

# FreeBSD's resource numbers beside the host's, for the ones both have.
SHARED = {"RLIMIT_CPU": resource.RLIMIT_CPU, "RLIMIT_FSIZE": resource.RLIMIT_FSIZE,
          "RLIMIT_DATA": resource.RLIMIT_DATA, "RLIMIT_STACK": resource.RLIMIT_STACK,
          "RLIMIT_CORE": resource.RLIMIT_CORE, "RLIMIT_RSS": resource.RLIMIT_RSS,
          "RLIMIT_MEMLOCK": resource.RLIMIT_MEMLOCK, "RLIMIT_NPROC": resource.RLIMIT_NPROC,
          "RLIMIT_NOFILE": resource.RLIMIT_NOFILE, "RLIMIT_AS": resource.RLIMIT_AS}


def freebsd_value(host_value):
    return INFINITY if host_value == resource.RLIM_INFINITY else host_value


def wait_exec(proc, name):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with open(f"/proc/{proc.pid}/stat") as f:
            if f"({name})" in f.read():
                return proc
        time.sleep(0.005)
    raise AssertionError("child did not start")


@pytest.fixture
def threaded():
    """A Python child with two more threads; report holds their ids."""
    setup = ("import threading\nev = threading.Event()\n"
             "ts = [threading.Thread(target=ev.wait, daemon=True) for _ in range(2)]\n"
             "[t.start() for t in ts]\nreport = [t.native_id for t in ts]\n")
    with Child(setup) as c:
        yield c


# A child whose first thread has become user nobody's (a raw setresuid
# changes the calling thread alone) while its other thread stays root's.
# nobody may then bind the first thread, never the other: a set for the
# whole process fails part-way, which FreeBSD would never leave half done.
HALF_OWNED_SETUP = (
    "import ctypes, threading\n"
    "t = threading.Thread(target=sys.stdin.read, daemon=True); t.start()\n"
    "libc = ctypes.CDLL(None, use_errno=True)\n"
    "assert libc.syscall(119, 65534, 65534, 65534) == 0  # setresgid\n"
    "assert libc.syscall(117, 65534, 65534, 65534) == 0  # setresuid\n"
    "report = [t.native_id]\n"
)


@pytest.fixture
def child():
    proc = wait_exec(subprocess.Popen(["/bin/sleep", "300"]), "sleep")
    yield proc
    proc.kill()
    proc.wait()


def taskset_list(pid):
    out = subprocess.run(["taskset", "-pc", str(pid)], capture_output=True, text=True, check=True).stdout
    cpus = set()
    for part in out.rsplit(":", 1)[1].strip().split(","):
        low, _, high = part.partition("-")
        cpus.update(range(int(low), int(high or low) + 1))
    return cpus


def prlimit_tool(pid, option):
    out = subprocess.run(["prlimit", "-p", str(pid), option, "-o", "SOFT,HARD", "--noheadings", "--raw"],
                         capture_output=True, text=True, check=True).stdout.split()
    return tuple(INFINITY if v == "unlimited" else int(v) for v in out)


def missing_cpu():
    """A CPU number the machine lacks: one past the highest online CPU."""
    with open("/sys/devices/system/cpu/online") as f:
        return max(int(part.split("-")[-1]) for part in f.read().strip().split(",")) + 1


def errno_of(excinfo):
    return excinfo.value.errno


class TestAffinity:
    @TWO_CPUS
    def test_get_follows_taskset(self, norvik):
        proc = wait_exec(subprocess.Popen(["taskset", "-c", "1", "/bin/sleep", "300"]), "sleep")
        try:
            assert norvik.proc_cpu_affinity_get(proc.pid) == [1]
            assert set(norvik.proc_cpu_affinity_get(proc.pid)) == os.sched_getaffinity(proc.pid)
        finally:
            proc.kill()
            proc.wait()

    def test_get_of_this_process(self, norvik):
        assert norvik.proc_cpu_affinity_get(os.getpid()) == CPUS
        # -1 reaches the call unchanged and names the calling process.
        assert norvik.proc_cpu_affinity_get(-1) == CPUS

    @TWO_CPUS
    def test_set_reaches_every_thread(self, norvik):
        setup = ("import threading\nev = threading.Event()\n"
                 "ts = [threading.Thread(target=ev.wait, daemon=True) for _ in range(3)]\n"
                 "[t.start() for t in ts]\nreport = [t.native_id for t in ts]\n")
        with Child(setup) as c:
            assert norvik.proc_cpu_affinity_set(c.pid, [1, 1]) is None
            assert os.sched_getaffinity(c.pid) == {1} == taskset_list(c.pid)
            for tid in c.report:
                assert os.sched_getaffinity(tid) == {1}
            assert norvik.proc_cpu_affinity_get(c.pid) == [1]
            norvik.proc_cpu_affinity_set(c.pid, (cpu for cpu in CPUS))
            assert os.sched_getaffinity(c.pid) == set(CPUS)
            assert all(os.sched_getaffinity(tid) == set(CPUS) for tid in c.report)

    @TWO_CPUS
    def test_set_on_the_calling_process(self, norvik):
        try:
            norvik.proc_cpu_affinity_set(-1, [0])
            assert os.sched_getaffinity(0) == {0}
        finally:
            os.sched_setaffinity(0, CPUS)

    def test_refusals_change_nothing(self, norvik, child):
        before = os.sched_getaffinity(child.pid)
        with pytest.raises(TypeError, match="expected a sequence or integer"):
            norvik.proc_cpu_affinity_set(child.pid, 3)
        with pytest.raises(TypeError):
            norvik.proc_cpu_affinity_set(child.pid, [0, "1"])
        with pytest.raises(TypeError):
            norvik.proc_cpu_affinity_set(child.pid, [0.0])
        for bad in ([0, -1], [1024], [0, 5000], [-2 ** 40]):
            with pytest.raises(ValueError, match="invalid CPU number"):
                norvik.proc_cpu_affinity_set(child.pid, bad)
        with pytest.raises(OverflowError):
            norvik.proc_cpu_affinity_set(child.pid, [2 ** 70])
        # FreeBSD's cpuset: an empty mask is EDEADLK; one naming a CPU the
        # machine lacks is not within the parent set (EINVAL), beside CPUs it
        # has or alone.
        missing = missing_cpu()
        for cpus, error in (([], errno.EDEADLK), ([CPUS[0], missing], errno.EINVAL), ([missing], errno.EINVAL)):
            with pytest.raises(OSError) as raised:
                norvik.proc_cpu_affinity_set(child.pid, cpus)
            assert errno_of(raised) == error, cpus
        assert os.sched_getaffinity(child.pid) == before

    def test_an_element_that_empties_its_list(self, norvik, child):
        cpus = []

        class Sly:
            def __index__(self):
                cpus.clear()
                return CPUS[0]

        cpus.extend([Sly(), Sly(), 0])
        assert norvik.proc_cpu_affinity_set(child.pid, cpus) is None
        assert os.sched_getaffinity(child.pid) == {CPUS[0]}

    def test_gone_and_foreign_processes(self, norvik, child):
        pid = gone_pid()
        for call in (lambda: norvik.proc_cpu_affinity_get(pid), lambda: norvik.proc_cpu_affinity_set(pid, [0])):
            with pytest.raises(ProcessLookupError):
                call()
        # FreeBSD finds live processes only: a zombie is gone.
        with zombie() as pid:
            for call in (lambda: norvik.proc_cpu_affinity_get(pid), lambda: norvik.proc_cpu_affinity_set(pid, [0])):
                with pytest.raises(ProcessLookupError):
                    call()
        # Reading another user's mask needs the same right as setting it.
        for call in (lambda: norvik.proc_cpu_affinity_get(child.pid), lambda: norvik.proc_cpu_affinity_set(child.pid, [0])):
            assert as_nobody(call) == ("raised", "PermissionError", errno.EPERM)
        # Its own mask is its own (os.getpid() runs in the child).
        assert as_nobody(lambda: norvik.proc_cpu_affinity_get(os.getpid())) == ("ok", CPUS)
        assert os.sched_getaffinity(child.pid) == set(CPUS)


    @TWO_CPUS
    def test_get_is_the_union_of_the_threads_masks(self, norvik, threaded):
        main, other = threaded.pid, threaded.report[0]
        try:
            os.sched_setaffinity(main, {CPUS[0]})
            os.sched_setaffinity(other, {CPUS[1]})
            assert norvik.proc_cpu_affinity_get(main) == [CPUS[0], CPUS[1]]
        finally:
            for tid in (main, *threaded.report):
                os.sched_setaffinity(tid, CPUS)

    def test_an_empty_mask_is_refused_before_the_process_is_looked_up(self, norvik):
        # EDEADLK whether or not the process lives.
        with zombie() as pid:
            for target in (pid, gone_pid(), 0):
                with pytest.raises(OSError) as raised:
                    norvik.proc_cpu_affinity_set(target, [])
                assert errno_of(raised) == errno.EDEADLK, target


class TestLimits:
    def test_every_shared_resource_matches_resource_and_prlimit(self, norvik, child):
        for name, host in SHARED.items():
            soft, hard = resource.prlimit(child.pid, host)
            assert norvik.proc_getrlimit(child.pid, getattr(norvik, name)) == \
                (freebsd_value(soft), freebsd_value(hard)), name
        assert norvik.proc_getrlimit(child.pid, norvik.RLIMIT_NOFILE) == prlimit_tool(child.pid, "--nofile")
        assert norvik.proc_getrlimit(child.pid, norvik.RLIMIT_AS) == prlimit_tool(child.pid, "--as")

    def test_limits_set_by_the_prlimit_tool(self, norvik):
        proc = wait_exec(subprocess.Popen(["prlimit", "--nofile=100:200", "--core=0:unlimited", "/bin/sleep",
                                           "300"]), "sleep")
        try:
            assert norvik.proc_getrlimit(proc.pid, norvik.RLIMIT_NOFILE) == (100, 200)
            assert norvik.proc_getrlimit(proc.pid, norvik.RLIMIT_CORE) == (0, INFINITY)
        finally:
            proc.kill()
            proc.wait()

    def test_resources_the_host_lacks(self, norvik, child):
        """Every resource below RLIM_NLIMITS answers; the ones the host keeps
        no limit for are unlimited, and stay so."""
        for resource_number in (norvik.RLIMIT_SBSIZE, norvik.RLIMIT_NPTS, norvik.RLIMIT_SWAP, 13, 14, 15):
            assert norvik.proc_getrlimit(child.pid, resource_number) == (INFINITY, INFINITY), resource_number
            assert norvik.proc_setrlimit(child.pid, resource_number, INFINITY, -1) is None
            with pytest.raises(OSError) as raised:
                norvik.proc_setrlimit(child.pid, resource_number, 1, 1)
            assert errno_of(raised) == errno.EOPNOTSUPP
            assert norvik.proc_getrlimit(child.pid, resource_number) == (INFINITY, INFINITY)
            assert as_nobody(lambda: norvik.proc_setrlimit(child.pid, resource_number, INFINITY, INFINITY)) == \
                ("raised", "PermissionError", errno.EPERM)
        for resource_number in (16, 99, -1):
            for call in (lambda: norvik.proc_getrlimit(child.pid, resource_number),
                         lambda: norvik.proc_setrlimit(child.pid, resource_number, 1, 1)):
                with pytest.raises(OSError) as raised:
                    call()
                assert errno_of(raised) == errno.EINVAL

    def test_set_then_read_back(self, norvik, child):
        nofile = norvik.RLIMIT_NOFILE
        assert norvik.proc_setrlimit(child.pid, nofile, 50, 60) is None
        assert resource.prlimit(child.pid, resource.RLIMIT_NOFILE) == (50, 60)
        assert prlimit_tool(child.pid, "--nofile") == (50, 60)
        norvik.proc_setrlimit(child.pid, norvik.RLIMIT_CORE, 4096, INFINITY)
        assert resource.prlimit(child.pid, resource.RLIMIT_CORE) == (4096, resource.RLIM_INFINITY)
        assert norvik.proc_getrlimit(child.pid, norvik.RLIMIT_CORE) == (4096, INFINITY)

    def test_negative_and_crossed_values_as_freebsd_stores_them(self, norvik, child):
        core = norvik.RLIMIT_CORE
        # A negative limit stands for no limit.
        norvik.proc_setrlimit(child.pid, core, -1, -5)
        assert resource.prlimit(child.pid, resource.RLIMIT_CORE) == (resource.RLIM_INFINITY,) * 2
        # A soft limit above the hard one is lowered to it.
        norvik.proc_setrlimit(child.pid, core, 9000, 4000)
        assert norvik.proc_getrlimit(child.pid, core) == (4000, 4000)
        norvik.proc_setrlimit(child.pid, core, -1, 3000)
        assert norvik.proc_getrlimit(child.pid, core) == (3000, 3000)

    def test_bad_values_change_nothing(self, norvik, child):
        before = resource.prlimit(child.pid, resource.RLIMIT_NOFILE)
        for soft, hard, error in ((2 ** 63, 1, OverflowError), (1, 2 ** 64, OverflowError),
                                  (-2 ** 63 - 1, 1, OverflowError), ("1", 1, TypeError), (1, 1.0, TypeError)):
            with pytest.raises(error):
                norvik.proc_setrlimit(child.pid, norvik.RLIMIT_NOFILE, soft, hard)
        assert resource.prlimit(child.pid, resource.RLIMIT_NOFILE) == before

    def test_gone_process(self, norvik):
        pid = gone_pid()
        with pytest.raises(ProcessLookupError):
            norvik.proc_getrlimit(pid, norvik.RLIMIT_NOFILE)
        with pytest.raises(ProcessLookupError):
            norvik.proc_setrlimit(pid, norvik.RLIMIT_NOFILE, 1, 1)
        with pytest.raises(ProcessLookupError):
            norvik.proc_getrlimit(0, norvik.RLIMIT_NOFILE)
        # A zombie is exiting: FreeBSD neither reads nor sets its limits.
        with zombie() as pid:
            with pytest.raises(ProcessLookupError):
                norvik.proc_getrlimit(pid, norvik.RLIMIT_NOFILE)
            with pytest.raises(ProcessLookupError):
                norvik.proc_setrlimit(pid, norvik.RLIMIT_NOFILE, 1, 1)

    def test_another_users_process(self, norvik, child):
        nofile = norvik.RLIMIT_NOFILE
        outcome = as_nobody(lambda: norvik.proc_setrlimit(child.pid, nofile, 10, 10))
        assert outcome == ("raised", "PermissionError", errno.EPERM)
        # Anyone who can see a process may read its limits, as /proc/<pid>/limits
        # shows them to every user.
        with open(f"/proc/{child.pid}/limits") as f:
            shown = {line[:26].strip(): line[26:].split()[:2] for line in f.read().splitlines()[1:]}
        for name, row in (("RLIMIT_NOFILE", "Max open files"), ("RLIMIT_CORE", "Max core file size"),
                          ("RLIMIT_STACK", "Max stack size"), ("RLIMIT_AS", "Max address space")):
            want = tuple(INFINITY if v == "unlimited" else int(v) for v in shown[row])
            assert as_nobody(lambda: norvik.proc_getrlimit(child.pid, getattr(norvik, name))) == ("ok", want), name
        # Its own limits are its own to read (os.getpid() runs in the child).
        assert as_nobody(lambda: norvik.proc_getrlimit(os.getpid(), nofile) == tuple(
            freebsd_value(v) for v in resource.getrlimit(resource.RLIMIT_NOFILE))) == ("ok", True)

    def test_scripted_infinity_and_size(self, norvik, kernel, child):
        key = f"kern.proc.rlimit.{child.pid}.{norvik.RLIMIT_SWAP}"
        kernel.answer(key, rlimit(1 << 20, INFINITY))
        assert norvik.proc_getrlimit(child.pid, norvik.RLIMIT_SWAP) == (1 << 20, INFINITY)
        # A short answer leaves the rest of the pair zero, never stale memory.
        kernel.answer(key, rlimit(77, 77)[:8])
        assert norvik.proc_getrlimit(child.pid, norvik.RLIMIT_SWAP) == (77, 0)
        kernel.answer(key, b"\0" * 24)
        with pytest.raises(OSError) as raised:
            norvik.proc_getrlimit(child.pid, norvik.RLIMIT_SWAP)
        assert errno_of(raised) == errno.ENOMEM
        kernel.overreport(key)
        with pytest.raises(RuntimeError, match="size mismatch"):
            norvik.proc_getrlimit(child.pid, norvik.RLIMIT_SWAP)


class TestPriority:
    def test_get_follows_nice(self, norvik):
        # nice(1) adds to the caller's own value, which the test run may have
        # raised already; the kernel keeps it at 19 at most.
        expected = min(os.getpriority(os.PRIO_PROCESS, 0) + 7, 19)
        proc = wait_exec(subprocess.Popen(["nice", "-n", "7", "/bin/sleep", "300"]), "sleep")
        try:
            assert norvik.proc_priority_get(proc.pid) == expected == os.getpriority(os.PRIO_PROCESS, proc.pid)
        finally:
            proc.kill()
            proc.wait()

    def test_set_and_negative_values(self, norvik, child):
        assert norvik.proc_priority_set(child.pid, 12) is None
        assert os.getpriority(os.PRIO_PROCESS, child.pid) == 12
        ps = subprocess.run(["ps", "-o", "ni=", "-p", str(child.pid)], capture_output=True, text=True)
        assert int(ps.stdout) == 12
        norvik.proc_priority_set(child.pid, -1)
        assert norvik.proc_priority_get(child.pid) == -1  # a valid value, not a failure

    def test_pid_zero_is_the_caller(self, norvik):
        assert norvik.proc_priority_get(0) == os.getpriority(os.PRIO_PROCESS, 0)

    def test_gone_and_foreign_processes(self, norvik, child):
        inherited = os.getpriority(os.PRIO_PROCESS, child.pid)  # the test run's own value
        pid = gone_pid()
        with pytest.raises(ProcessLookupError):
            norvik.proc_priority_get(pid)
        with pytest.raises(ProcessLookupError):
            norvik.proc_priority_set(pid, 1)
        with zombie() as pid:
            with pytest.raises(ProcessLookupError):
                norvik.proc_priority_get(pid)
            with pytest.raises(ProcessLookupError):
                norvik.proc_priority_set(pid, 1)
        assert as_nobody(lambda: norvik.proc_priority_get(child.pid)) == ("ok", inherited)
        assert as_nobody(lambda: norvik.proc_priority_set(child.pid, 5)) == ("raised", "PermissionError", errno.EPERM)
        # Lowering its own nice value needs a privilege nobody lacks.
        assert as_nobody(lambda: norvik.proc_priority_set(0, -5)) == ("raised", "PermissionError", errno.EACCES)

    def test_scripted_failure_and_value(self, norvik, kernel, child):
        inherited = os.getpriority(os.PRIO_PROCESS, child.pid)
        kernel.answer(f"getpriority.{child.pid}", int32(-1))
        assert norvik.proc_priority_get(child.pid) == -1
        kernel.fail(f"getpriority.{child.pid}", errno.EIO)
        with pytest.raises(OSError) as raised:
            norvik.proc_priority_get(child.pid)
        assert errno_of(raised) == errno.EIO
        kernel.fail(f"setpriority.{child.pid}", errno.EPERM)
        with pytest.raises(PermissionError):
            norvik.proc_priority_set(child.pid, 3)
        assert os.getpriority(os.PRIO_PROCESS, child.pid) == inherited


    def test_set_renices_every_thread(self, norvik, threaded):
        base = os.getpriority(os.PRIO_PROCESS, threaded.pid)
        if base > 12:
            pytest.skip("the test run's nice leaves no room")
        for step, tid in enumerate(threaded.report, 1):
            os.setpriority(os.PRIO_PROCESS, tid, base + step)
        norvik.proc_priority_set(threaded.pid, base + 5)
        tids = (threaded.pid, *threaded.report)
        assert [os.getpriority(os.PRIO_PROCESS, tid) for tid in tids] == [base + 5] * 3
        assert norvik.proc_priority_get(threaded.pid) == base + 5
        # FreeBSD's highest nice, 20, is taken (the host holds 19 at most),
        # by the whole process.
        assert norvik.proc_priority_set(threaded.pid, 20) is None
        assert len({os.getpriority(os.PRIO_PROCESS, tid) for tid in tids}) == 1


@TWO_CPUS
def test_a_set_refused_part_way_puts_every_thread_back(norvik):
    with Child(HALF_OWNED_SETUP) as half_owned:
        tids = (half_owned.pid, *half_owned.report)
        os.sched_setaffinity(half_owned.pid, {CPUS[1]})
        before = [os.sched_getaffinity(tid) for tid in tids]
        assert as_nobody(lambda: norvik.proc_cpu_affinity_set(half_owned.pid, [CPUS[0]])) == (
            "raised", "PermissionError", errno.EPERM)
        assert [os.sched_getaffinity(tid) for tid in tids] == before == [{CPUS[1]}, set(CPUS)]

def test_scripted_affinity_calls(norvik, kernel, child):
    mask = bytearray(128)
    for cpu in (0, 63, 64, 200, 1023):
        mask[cpu // 8] |= 1 << (cpu % 8)
    kernel.answer(f"cpuset_getaffinity.{child.pid}", bytes(mask))
    assert norvik.proc_cpu_affinity_get(child.pid) == [0, 63, 64, 200, 1023]
    kernel.fail(f"cpuset_setaffinity.{child.pid}", errno.EDEADLK)
    with pytest.raises(OSError) as raised:
        norvik.proc_cpu_affinity_set(child.pid, [0])
    assert errno_of(raised) == errno.EDEADLK
    assert kernel.count(f"cpuset_setaffinity.{child.pid}", 3) == 1
