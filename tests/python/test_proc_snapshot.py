"""The 25-value snapshot, the command name and the thread count, checked
against /proc read here, ps, os and resource, on children in known states;
the kernel is scripted only for states this machine can't show."""
import errno
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

from norvik_bsd_testing.proc_records import NOCPU, NODEV, kinfo_proc
from proc_children import Child, gone_pid, terminal_child, zombie

CLK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGESIZE")
NAME = "nv) s x"  # spaces and a closing parenthesis, as /proc/<pid>/stat shows them


def stat_of(pid):
    with open(f"/proc/{pid}/stat") as f:
        text = f.read()
    return text[text.index("(") + 1:text.rindex(")")], text[text.rindex(")") + 2:].split()


def status_of(pid, name="status"):
    out = {}
    with open(f"/proc/{pid}/{name}") as f:
        for line in f:
            key, _, value = line.partition(":")
            out[key] = value.split()
    return out


def boot_time():
    with open("/proc/stat") as f:
        for line in f:
            if line.startswith("btime"):
                return int(line.split()[1])
    raise AssertionError("no btime")


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.005)
    raise AssertionError("condition not reached")


def ps(pid, *columns):
    out = subprocess.run(["ps", "-o", ",".join(f"{c}=" for c in columns), "-p", str(pid)],
                         capture_output=True, text=True, check=True).stdout
    return out.split()


def state_letter(pid):
    return stat_of(pid)[1][0]


def spawn(argv, **kw):
    proc = subprocess.Popen(argv, stdin=kw.pop("stdin", subprocess.DEVNULL), **kw)
    wait_for(lambda: stat_of(proc.pid)[0] == os.path.basename(argv[0])[:15] and state_letter(proc.pid) == "S")
    return proc


@pytest.fixture
def sleeper(tmp_path):
    exe = tmp_path / NAME
    shutil.copy("/bin/sleep", exe)
    proc = spawn([str(exe), "300"], start_new_session=True)
    yield proc
    proc.kill()
    proc.wait()


class Forked:
    """A forked child of this process that runs `prepare` and then waits to be
    killed, without ever returning into the test runner."""

    def __init__(self, prepare):
        read_end, write_end = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:
            try:
                os.close(read_end)
                prepare()
                os.write(write_end, b"x")
                while True:
                    signal.pause()
            finally:
                os._exit(0)
        os.close(write_end)
        assert os.read(read_end, 1) == b"x"
        os.close(read_end)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)


def test_sleeping_child_matches_proc_and_ps(norvik, sleeper):
    pid = sleeper.pid
    info = norvik.proc_oneshot_info(pid)
    comm, stat = stat_of(pid)
    status = status_of(pid)
    io = status_of(pid, "io")
    with open(f"/proc/{pid}/statm") as f:
        statm = [int(v) for v in f.read().split()]

    assert len(info) == 25
    assert info[0] == os.getpid() == int(stat[1])
    assert info[1] == norvik.SSLEEP
    assert list(info[2:5]) == [int(v) for v in status["Uid"][:3]]
    assert list(info[5:8]) == [int(v) for v in status["Gid"][:3]]
    assert info[8] == -1  # a new session has no controlling terminal
    assert abs(info[9] - (boot_time() + int(stat[19]) / CLK)) < 1.0
    assert info[9] == norvik.proc_oneshot_info(pid)[9], "the start time moves between calls"
    assert info[10] == int(status["voluntary_ctxt_switches"][0])
    assert info[11] == int(status["nonvoluntary_ctxt_switches"][0])
    assert info[12] == int(io["read_bytes"][0]) // 512
    assert info[13] == int(io["write_bytes"][0]) // 512
    assert info[14] == pytest.approx(int(stat[11]) / CLK)
    assert info[15] == pytest.approx(int(stat[12]) / CLK)
    assert info[18] == statm[1] * PAGE == int(status["VmRSS"][0]) * 1024
    assert info[19] == int(stat[20])
    assert info[20] == int(status["VmExe"][0]) * 1024 // PAGE * PAGE
    assert info[21] == int(status["VmData"][0]) * 1024 // PAGE * PAGE
    assert info[22] == int(status["VmStk"][0]) * 1024 // PAGE * PAGE
    assert info[23] == int(stat[36])
    assert info[24] == comm == NAME == norvik.proc_name(pid)
    assert norvik.proc_num_threads(pid) == 1

    ppid, uid, rss, vsz, nlwp = ps(pid, "ppid", "uid", "rss", "vsz", "nlwp")[:5]
    assert (int(ppid), int(uid)) == (info[0], info[3])
    assert int(rss) * 1024 == info[18]
    assert int(vsz) == info[19] // 1024
    assert int(nlwp) == 1
    assert subprocess.run(["ps", "-o", "comm=", "-p", str(pid)], capture_output=True,
                          text=True).stdout.strip() == NAME


def test_types_follow_the_format(norvik):
    info = norvik.proc_oneshot_info(os.getpid())
    kinds = [int, int] + [int] * 7 + [float] + [int] * 4 + [float] * 4 + [int] * 6 + [str]
    assert [type(v) for v in info] == kinds


def test_this_process_against_os_and_resource(norvik):
    # Let a CPU-burning child be waited for, so the children's times move.
    subprocess.run([sys.executable, "-c",
                    "import time\nt=time.process_time()\nwhile time.process_time()-t<0.3: pass"], check=True)
    info = norvik.proc_oneshot_info(os.getpid())
    usage = __import__("resource").getrusage(__import__("resource").RUSAGE_SELF)
    times = os.times()
    assert info[2:5] == os.getresuid()
    assert info[5:8] == os.getresgid()
    assert info[14] == pytest.approx(usage.ru_utime, abs=0.05)
    assert info[15] == pytest.approx(usage.ru_stime, abs=0.05)
    assert info[16] == pytest.approx(times.children_user, abs=0.02)
    assert info[17] == pytest.approx(times.children_system, abs=0.02)
    assert info[16] + info[17] >= 0.25
    assert info[10] <= usage.ru_nvcsw
    assert info[24] == stat_of(os.getpid())[0]


def test_real_effective_and_saved_ids_differ(norvik):
    def become():
        os.setgroups([])
        os.setresgid(100, 101, 102)
        os.setresuid(65534, 1, 2)

    with Forked(become) as child:
        info = norvik.proc_oneshot_info(child.pid)
        assert info[2:8] == (65534, 1, 2, 100, 101, 102)
        status = status_of(child.pid)
        assert [int(v) for v in status["Uid"][:3] + status["Gid"][:3]] == list(info[2:8])


def test_largest_user_id_stays_positive(norvik):
    def become():
        os.setresgid(4294967294, 4294967294, 4294967294)
        os.setresuid(4294967294, 4294967294, 4294967294)

    with Forked(become) as child:
        info = norvik.proc_oneshot_info(child.pid)
        assert info[2:8] == (4294967294,) * 6
        assert status_of(child.pid)["Uid"][:3] == ["4294967294"] * 3


def test_controlling_terminal_is_the_device_number(norvik):
    with terminal_child() as (proc, device, name):
        assert norvik.proc_oneshot_info(proc.pid)[8] == device
        assert ps(proc.pid, "tty")[0] == name.removeprefix("/dev/")


def test_states_stopped_zombie_running(norvik, sleeper):
    os.kill(sleeper.pid, signal.SIGSTOP)
    wait_for(lambda: state_letter(sleeper.pid) == "T")
    assert norvik.proc_oneshot_info(sleeper.pid)[1] == norvik.SSTOP
    os.kill(sleeper.pid, signal.SIGCONT)

    with zombie() as pid:
        info = norvik.proc_oneshot_info(pid)
        assert info[1] == norvik.SZOMB
        assert info[0] == os.getpid()
        assert norvik.proc_is_zombie(pid) is True


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs")
def test_cpu_number_running_and_sleeping(norvik):
    busy = subprocess.Popen(["taskset", "-c", "1", sys.executable, "-c", "while True: pass"])
    idle = spawn(["/bin/sleep", "300"])
    try:
        wait_for(lambda: stat_of(busy.pid)[0].startswith("python") and state_letter(busy.pid) == "R")
        info = norvik.proc_oneshot_info(busy.pid)
        assert info[1] == norvik.SRUN
        assert info[23] == 1
        time.sleep(0.05)  # it wakes no more: the last CPU stays put
        info = norvik.proc_oneshot_info(idle.pid)
        assert info[1] == norvik.SSLEEP
        assert info[23] == int(stat_of(idle.pid)[1][36])
    finally:
        for proc in (busy, idle):
            proc.kill()
            proc.wait()


def test_thread_count(norvik):
    setup = ("import threading\nev = threading.Event()\n"
             "ts = [threading.Thread(target=ev.wait, daemon=True) for _ in range(4)]\n"
             "[t.start() for t in ts]\nreport = [t.native_id for t in ts]\n")
    with Child(setup) as child:
        assert norvik.proc_num_threads(child.pid) == 5
        assert norvik.proc_num_threads(child.pid) == len(os.listdir(f"/proc/{child.pid}/task"))
        assert int(ps(child.pid, "nlwp")[0]) == 5
        # A thread's id names no process.
        with pytest.raises(OSError) as raised:
            norvik.proc_oneshot_info(child.report[0])
        assert raised.value.errno == errno.ESRCH


def test_main_thread_gone_is_not_a_zombie(norvik):
    code = ("import ctypes, sys, threading\n"
            "threading.Thread(target=sys.stdin.read).start()\n"
            "ctypes.CDLL(None).pthread_exit(None)\n")
    proc = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE)
    try:
        task = f"/proc/{proc.pid}/task"
        # The other thread settles into its read (on a busy machine it may
        # still be running at first): the record shows its state.
        wait_for(lambda: state_letter(proc.pid) == "Z" and len(os.listdir(task)) == 2
                 and {state_letter(f"{proc.pid}/task/{tid}") for tid in os.listdir(task)} == {"Z", "S"})
        assert norvik.proc_is_zombie(proc.pid) is False
        info = norvik.proc_oneshot_info(proc.pid)
        assert info[1] == norvik.SSLEEP
        assert info[18] > 0 and info[19] > 0  # the memory its threads hold
        assert norvik.proc_num_threads(proc.pid) == 1
    finally:
        proc.stdin.close()
        proc.wait()


def test_name_bytes_round_trip(norvik):
    raw = b"n\xff\xfe v"  # not UTF-8: the file-system decoding keeps the bytes

    def rename():
        import ctypes
        ctypes.CDLL(None).prctl(15, ctypes.c_char_p(raw), 0, 0, 0)  # PR_SET_NAME

    with Forked(rename) as child:
        assert os.fsencode(norvik.proc_name(child.pid)) == raw
        assert os.fsencode(norvik.proc_oneshot_info(child.pid)[24]) == raw


@pytest.mark.parametrize("fn", ["proc_oneshot_info", "proc_name", "proc_num_threads"])
def test_bad_pids(norvik, fn):
    call = getattr(norvik, fn)
    with pytest.raises(OSError) as raised:
        call(gone_pid())
    assert raised.value.errno == errno.ESRCH
    with pytest.raises(RuntimeError, match="invalid args"):
        call(-1)
    with pytest.raises(OverflowError):
        call(2 ** 31)
    with pytest.raises(TypeError):
        call("1")


# The kernel as scripted for what this machine can't show.

def scripted(norvik, kernel, **fields):
    pid = os.getpid()
    fields.setdefault("ki_pid", pid)
    kernel.answer(f"kern.proc.pid.{pid}", kinfo_proc(**fields))
    return norvik.proc_oneshot_info(pid)


@pytest.mark.parametrize("stat, oncpu, lastcpu, expected", [
    (2, 3, 1, 3),            # running on CPU 3
    (2, NOCPU, 1, 1),        # runnable, waiting for a CPU
    (3, 3, 6, 6),            # sleeping: where it last ran
    (2, 200, 0, 200),        # above 127, through the "b" letter unchanged
    (3, NOCPU, 1000, 1000),
])
def test_cpu_number_rule(norvik, kernel, stat, oncpu, lastcpu, expected):
    assert scripted(norvik, kernel, ki_stat=stat, ki_oncpu=oncpu, ki_lastcpu=lastcpu)[23] == expected


def test_scripted_units_and_ids(norvik, kernel):
    page = norvik.getpagesize()
    info = scripted(norvik, kernel, ki_ppid=77, ki_stat=3, ki_ruid=4294967294, ki_uid=4294967294,
                    ki_svuid=4294967294, ki_rgid=4294967293, ki_groups=[5], ki_svgid=6, ki_tdev=NODEV,
                    ki_size=1048576, ki_rssize=10, ki_tsize=2, ki_dsize=3, ki_ssize=4, ki_start=(100, 250000),
                    ki_rusage={"ru_utime": (1, 500000), "ru_stime": (2, 1), "ru_nvcsw": 11, "ru_nivcsw": 12,
                               "ru_inblock": 13, "ru_oublock": 14},
                    ki_rusage_ch={"ru_utime": (3, 0), "ru_stime": (0, 999999)},
                    ki_comm=b"scripted")
    assert info == (77, 3, 4294967294, 4294967294, 4294967294, 4294967293, 5, 6, -1, 100.25, 11, 12, 13, 14,
                    1.5, 2.000001, 3.0, 0.999999, 10 * page, 1048576, 2 * page, 3 * page, 4 * page, 0, "scripted")
    assert norvik.proc_name(os.getpid()) == "scripted"


def test_name_without_terminator_is_cut_at_the_field(norvik, kernel):
    record = bytearray(kinfo_proc(ki_pid=os.getpid()))
    record[447:467] = b"A" * 20  # ki_comm without its NUL
    record[467:484] = b"B" * 17  # ki_emul right behind the name
    kernel.answer(f"kern.proc.pid.{os.getpid()}", bytes(record))
    assert norvik.proc_name(os.getpid()) == "A" * 20
    assert norvik.proc_oneshot_info(os.getpid())[24] == "A" * 20


def test_empty_answer_is_no_such_process(norvik, kernel):
    pid = os.getpid()
    kernel.answer(f"kern.proc.pid.{pid}", b"")
    for call in (norvik.proc_oneshot_info, norvik.proc_name, norvik.proc_num_threads):
        with pytest.raises(OSError, match="size = 0") as raised:
            call(pid)
        assert raised.value.errno == errno.ESRCH


def test_kernel_refusal_carries_its_errno(norvik, kernel):
    pid = os.getpid()
    kernel.fail(f"kern.proc.pid.{pid}", errno.EPERM)
    with pytest.raises(PermissionError, match=r"originated from sysctl\(kinfo_proc\)"):
        norvik.proc_oneshot_info(pid)
    assert kernel.count(f"kern.proc.pid.{pid}", 1) == 1
