"""Every process function of the table, snapshot, scheduling and limits on
children that start, exit and are reaped under the calls' feet: each call
gives a well-formed answer that describes one process, or one of the
exceptions a vanished process may give, never a crash or another exception."""
import os
import subprocess
import sys
import time

import pytest

from race_harness import SHORT_LIVED, churn

ME = os.getpid()
CPUS = sorted(os.sched_getaffinity(0))
INFINITY = 2 ** 63 - 1


def own_name():
    with open("/proc/self/stat") as f:
        text = f.read()
    return text[text.index("(") + 1:text.rindex(")")]


# Before its exec a spawned child still carries this process's name.
NAMES = {os.path.basename(argv[0]) for argv in SHORT_LIVED} | {own_name()}


def check_snapshot(pid, info):
    assert isinstance(info, tuple) and len(info) == 25
    # One record: the parent, the name and the ids all belong to our child.
    assert info[0] == ME, info
    assert info[24] in NAMES, info
    assert info[2:8] == (0, 0, 0, 0, 0, 0) or info[2:8] == tuple(
        [os.getuid()] * 3 + [os.getgid()] * 3), info
    assert info[1] in (2, 3, 4, 5), info
    assert info[9] > 0 and all(v >= 0 for v in info[10:23]), info


def check_name(pid, name):
    assert name in NAMES, name


def check_threads(pid, n):
    assert isinstance(n, int) and n >= 1, n


def check_bool(pid, value):
    assert value is True or value is False


def check_none(pid, value):
    assert value is None


def check_cpus(pid, cpus):
    assert isinstance(cpus, list) and cpus and set(cpus) <= set(CPUS), cpus


def check_limit(pid, pair):
    soft, hard = pair
    assert 0 <= soft <= hard <= INFINITY, pair


def check_nice(pid, value):
    assert isinstance(value, int) and -20 <= value <= 19, value


def check_table(pid, table):
    assert isinstance(table, list) and ME in table


def test_table_snapshot_scheduling_and_limits_of_children_that_come_and_go(norvik):
    nofile = norvik.RLIMIT_NOFILE
    calls = {
        "proc_oneshot_info": (norvik.proc_oneshot_info, check_snapshot),
        "proc_name": (norvik.proc_name, check_name),
        "proc_num_threads": (norvik.proc_num_threads, check_threads),
        "proc_is_zombie": (norvik.proc_is_zombie, check_bool),
        "check_pid_range": (norvik.check_pid_range, check_none),
        "pids": (lambda pid: norvik.pids(), check_table),
        "proc_cpu_affinity_get": (norvik.proc_cpu_affinity_get, check_cpus),
        "proc_cpu_affinity_set": (lambda pid: norvik.proc_cpu_affinity_set(pid, CPUS), check_none),
        "proc_getrlimit": (lambda pid: norvik.proc_getrlimit(pid, nofile), check_limit),
        "proc_setrlimit": (lambda pid: norvik.proc_setrlimit(pid, nofile, 512, 1024), check_none),
        "proc_priority_get": (norvik.proc_priority_get, check_nice),
        "proc_priority_set": (lambda pid: norvik.proc_priority_set(pid, 1), check_none),
    }
    tally = churn(norvik, calls, rounds=150)
    # Both sides were seen: answers from live children, and refusals from gone ones.
    assert sum(t["ok"] for t in tally.values()) > 0
    assert tally["proc_oneshot_info"]["ok"] > 0
    assert sum(t["raised"] for t in tally.values()) > 0, tally


@pytest.mark.skipif(len(CPUS) < 2, reason="needs two CPUs")
def test_affinity_reaches_threads_that_come_and_go(norvik):
    code = ("import threading, time\n"
            "def brief(): time.sleep(0.001)\n"
            "for _ in range(4): threading.Thread(target=time.sleep, args=(30,), daemon=True).start()\n"
            "end = time.monotonic() + 20\n"
            "while time.monotonic() < end:\n"
            "    ts = [threading.Thread(target=brief) for _ in range(8)]\n"
            "    [t.start() for t in ts]\n"
            "    [t.join() for t in ts]\n")
    proc = subprocess.Popen([sys.executable, "-c", code])
    try:
        # The main thread and the four sleepers: listed at two moments far
        # apart, which no brief thread lives through (on a busy machine the
        # child may take a while to start them all).
        task = f"/proc/{proc.pid}/task"
        deadline = time.monotonic() + 20
        lasting = set()
        while len(lasting) < 5:
            assert time.monotonic() < deadline, lasting
            first = set(os.listdir(task))
            time.sleep(0.1)
            lasting = first & set(os.listdir(task))
        assert len(lasting) == 5, lasting
        for round_ in range(30):
            want = {CPUS[round_ % 2]}
            norvik.proc_cpu_affinity_set(proc.pid, sorted(want))
            for tid in lasting:
                assert os.sched_getaffinity(int(tid)) == want, (round_, tid)
    finally:
        proc.kill()
        proc.wait()
