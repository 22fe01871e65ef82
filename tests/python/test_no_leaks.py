"""Repeated calls release what they take: on success and on every failure
path, neither Python objects nor the C memory behind them pile up."""
import gc
import os
import tracemalloc

import pytest

from proc_children import Child, gone_pid, zombie

CALLS = 1000


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def growth(fn):
    """(Python bytes, resident KiB) gained over a second run of CALLS calls.

    The first run pays for one-time growth (the interpreter's string interning
    table, allocator pools); what a second run adds is what the calls keep."""
    tracemalloc.start()
    for _ in range(CALLS):
        fn()
    gc.collect()
    held_before, _ = tracemalloc.get_traced_memory()
    rss_before = rss_kib()
    for _ in range(CALLS):
        fn()
    gc.collect()
    held_after, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return held_after - held_before, rss_kib() - rss_before


def swallow(fn, *args):
    def call():
        try:
            fn(*args)
        except Exception:  # the failure path is what is measured
            pass
    return call


@pytest.fixture(scope="module")
def busy_child():
    setup = ("import threading, socket\n"
             "files = [open('/etc/hostname') for _ in range(20)]\n"
             "sock = socket.socket(); sock.bind(('127.0.0.1', 0)); sock.listen()\n"
             "ev = threading.Event()\n"
             "threads = [threading.Thread(target=ev.wait, daemon=True) for _ in range(4)]\n"
             "[t.start() for t in threads]\n")
    with Child(setup, argv_extra=["arg one", "two"], env={**os.environ, "LEAK_TEST": "x" * 100}) as child:
        yield child.pid


def calls_on(norvik, pid):
    return {
        "proc_oneshot_info": lambda: norvik.proc_oneshot_info(pid),
        "proc_name": lambda: norvik.proc_name(pid),
        "proc_num_threads": lambda: norvik.proc_num_threads(pid),
        "proc_cmdline": lambda: norvik.proc_cmdline(pid),
        "proc_environ": lambda: norvik.proc_environ(pid),
        "proc_exe": lambda: norvik.proc_exe(pid),
        "proc_cwd": lambda: norvik.proc_cwd(pid),
        "proc_threads": lambda: norvik.proc_threads(pid),
        "proc_open_files": lambda: norvik.proc_open_files(pid),
        "proc_num_fds": lambda: norvik.proc_num_fds(pid),
        "proc_memory_maps": lambda: norvik.proc_memory_maps(pid),
        "proc_cpu_affinity_get": lambda: norvik.proc_cpu_affinity_get(pid),
        "proc_getrlimit": lambda: norvik.proc_getrlimit(pid, norvik.RLIMIT_NOFILE),
        "proc_priority_get": lambda: norvik.proc_priority_get(pid),
        "proc_is_zombie": lambda: norvik.proc_is_zombie(pid),
        "proc_net_connections": lambda: norvik.proc_net_connections(pid, (1, 2, 28), (1, 2)),
    }


# A leak of one small object per call would hold CALLS times its size; a
# leaked record array, many kilobytes per call.
PY_BYTES_LIMIT = 32 * 1024
RSS_KIB_LIMIT = 2 * 1024


def check(name, fn):
    held, rss = growth(fn)
    assert held < PY_BYTES_LIMIT, f"{name}: {held} bytes of Python objects still held after {CALLS} calls"
    assert rss < RSS_KIB_LIMIT, f"{name}: resident size grew {rss} KiB over {CALLS} calls"


def test_successful_calls_release_everything(norvik, busy_child):
    for name, fn in calls_on(norvik, busy_child).items():
        check(name, fn)
    check("pids", norvik.pids)
    check("net_connections", lambda: norvik.net_connections((1, 2, 28), (1, 2)))


def test_failed_calls_release_everything(norvik):
    pid = gone_pid()
    for name, fn in calls_on(norvik, pid).items():
        check(f"{name}(gone)", swallow(fn))
    check("proc_cpu_affinity_set(bad cpu)", swallow(norvik.proc_cpu_affinity_set, os.getpid(), [0, 5000]))
    check("proc_cpu_affinity_set(bad item)", swallow(norvik.proc_cpu_affinity_set, os.getpid(), [0, "x"]))
    with zombie() as zpid:
        for name in ("proc_cwd", "proc_open_files", "proc_memory_maps", "proc_environ", "proc_num_fds"):
            check(f"{name}(zombie)", swallow(calls_on(norvik, zpid)[name]))


def test_scripted_failures_release_everything(norvik, kernel):
    """Failures deep inside the allocating read and the table walk."""
    me = os.getpid()
    kernel.grow(f"kern.proc.args.{me}")  # every read fails: the retry limit
    check("proc_cmdline(retry limit)", swallow(norvik.proc_cmdline, me))
    kernel.fail(f"kern.proc.pid_td.{me}", 12, -1)
    check("proc_threads(ENOMEM)", swallow(norvik.proc_threads, me))
    kernel.reset()
    kernel.answer("kern.file", b"\0" * 128)
    check("net_connections(xfile size)", swallow(norvik.net_connections, (1, 2), (1, 2)))
    kernel.reset()
    kernel.fail("net.local.dgram.pcblist", 13, -1)
    check("net_connections(EACCES)", swallow(norvik.net_connections, (1, 2), (1, 2)))
    check("net_connections(bad filter)", swallow(norvik.net_connections, "ab", (1,)))
    kernel.reset()
    kernel.grow("net.inet.tcp.pcblist", -1)
    check("proc_net_connections(ENOMEM)", swallow(norvik.proc_net_connections, me, (2,), (1,)))
