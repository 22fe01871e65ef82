"""Every function, called over and over, leaves the interpreter's total of
references where it found it: on success and on each failure path (a gone
process, a zombie, an argument of the wrong type or count, a kernel read that
fails). A reference kept or dropped once a call moves the total by at least
one a call. Only a debug interpreter keeps that total (sys.gettotalrefcount);
elsewhere the tests that need it skip, and test_no_leaks.py watches memory
instead. The build of the module itself must be a debug one there: the guard
of src/python_abi_check.cpp is checked with every interpreter."""
import errno
import gc
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

from conftest import HERE, SCRIPTED_DIR
from norvik_bsd_testing.net_records import IFLIST_KEY
from module_calls import CALLS, Target
from proc_children import gone_pid, swallowing, zombie

DEBUG = hasattr(sys, "gettotalrefcount")
debug_only = pytest.mark.skipif(not DEBUG, reason="only a debug interpreter counts references (sys.gettotalrefcount)")

ROUNDS = 100
# Calls that walk every socket or process of the machine cost milliseconds.
SLOW = {"net_connections", "proc_net_connections", "pids"}


def refs_gained(fn, rounds):
    """The change of the reference total over `rounds` calls, after a few
    calls that pay for one-time growth (interned names, caches); a run that
    moved is measured again and the smallest change counts, so a one-off
    elsewhere in the interpreter is not taken for the call's."""
    for _ in range(5):
        fn()
    best = None
    for _ in range(3):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(rounds):
            fn()
        gc.collect()
        gained = sys.gettotalrefcount() - before
        best = gained if best is None else min(best, gained, key=abs)
        if abs(best) < rounds // 2:
            break
    return best


def check(name, fn, function):
    rounds = ROUNDS // 5 if function in SLOW else ROUNDS
    gained = refs_gained(fn, rounds)
    assert abs(gained) < rounds // 2, f"{name}: the reference total moved by {gained} over {rounds} calls"


@pytest.fixture(scope="module")
def target():
    t = Target()
    yield t
    t.close()


def by_name(call):
    return call.name


@debug_only
@pytest.mark.parametrize("call", CALLS, ids=by_name)
def test_successful_calls_keep_the_reference_total(norvik, target, call):
    fn = getattr(norvik, call.name)
    counter = iter(range(10 ** 9))
    # A call this machine cannot answer (no battery, no frequency driver)
    # raises its documented exception: that path is counted the same way.
    check(call.name, swallowing(lambda: fn(*call.arguments(target, next(counter)))), call.name)


PID_CALLS = [c for c in CALLS if c.name not in ("pids", "check_pid_range")
             and c.name.startswith("proc_")]


@debug_only
@pytest.mark.parametrize("call", PID_CALLS, ids=by_name)
def test_calls_on_a_gone_process_keep_the_reference_total(norvik, target, call):
    fn = getattr(norvik, call.name)
    gone = gone_pid()
    args = (gone,) + tuple(call.arguments(target)[1:])
    check(f"{call.name}(gone)", swallowing(fn, *args), call.name)


@debug_only
@pytest.mark.parametrize("call", PID_CALLS, ids=by_name)
def test_calls_on_a_zombie_keep_the_reference_total(norvik, target, call):
    fn = getattr(norvik, call.name)
    with zombie() as pid:
        args = (pid,) + tuple(call.arguments(target)[1:])
        check(f"{call.name}(zombie)", swallowing(fn, *args), call.name)


@debug_only
@pytest.mark.parametrize("call", CALLS, ids=by_name)
def test_refused_arguments_keep_the_reference_total(norvik, target, call):
    """One argument too many (a function without parameters ignores it, as
    its METH_VARARGS row lets it), and for a function that takes any a first
    argument of a type none of them takes: a float."""
    fn = getattr(norvik, call.name)
    args = tuple(call.arguments(target))
    check(f"{call.name}(extra argument)", swallowing(fn, *args, None), call.name)
    if args:
        check(f"{call.name}(float first)", swallowing(fn, 1.5, *args[1:]), call.name)


ME = os.getpid()
# (label, how the scripted kernel fails, the function, its arguments)
KERNEL_FAILURES = [
    ("args retry limit", lambda k: k.grow(f"kern.proc.args.{ME}"), "proc_cmdline", (ME,)),
    ("threads ENOMEM", lambda k: k.fail(f"kern.proc.pid_td.{ME}", errno.ENOMEM), "proc_threads", (ME,)),
    ("xfile size", lambda k: k.answer("kern.file", b"\0" * 128), "net_connections", ((1, 2), (1, 2))),
    ("unix pcblist EACCES", lambda k: k.fail("net.local.dgram.pcblist", errno.EACCES),
     "net_connections", ((1, 2), (1, 2))),
    ("tcp pcblist grows", lambda k: k.grow("net.inet.tcp.pcblist"), "proc_net_connections", (ME, (2,), (1,))),
    ("cp_times EIO", lambda k: k.fail("kern.cp_times", errno.EIO), "per_cpu_times", ()),
    ("topology EIO", lambda k: k.fail("kern.sched.topology_spec", errno.EIO), "cpu_topology", ()),
    ("no frequency driver", lambda k: None, "cpu_freq", (-1,)),
    ("vmtotal EIO", lambda k: k.fail("vm.vmtotal", errno.EIO), "virtual_mem", ()),
    ("kvm_open fails", lambda k: k.fail("kvm_open", errno.EIO), "swap_mem", ()),
    ("kvm_getswapinfo fails", lambda k: k.fail("kvm_getswapinfo", errno.EIO), "swap_mem", ()),
    ("mallctl stats EIO", lambda k: k.fail("mallctl.stats.mapped", errno.EIO), "heap_info", ()),
    ("mallctl purge EIO", lambda k: k.fail("mallctl.arena.4096.purge", errno.EIO), "heap_trim", ()),
    ("getfsstat EIO", lambda k: k.fail("getfsstat.0", errno.EIO), "disk_partitions", ()),
    ("devstat_getdevs EIO", lambda k: k.fail("devstat_getdevs.0", errno.EIO), "disk_io_counters", ()),
    ("iflist retry limit", lambda k: k.grow(IFLIST_KEY), "net_io_counters", ()),
    ("getifaddrs ENOBUFS", lambda k: k.fail("getifaddrs", errno.ENOBUFS), "net_if_addrs", ()),
    ("no socket for flags", lambda k: k.fail("socket", errno.EMFILE), "net_if_flags", ("lo",)),
    ("no socket for mtu", lambda k: k.fail("socket", errno.EMFILE), "net_if_mtu", ("lo",)),
    ("no socket for media", lambda k: k.fail("socket", errno.EMFILE), "net_if_duplex_speed", ("lo",)),
    ("acline EIO", lambda k: (k.answer("hw.acpi.battery.life", b"\x32\0\0\0"),
                              k.answer("hw.acpi.battery.time", b"\x32\0\0\0"),
                              k.fail("hw.acpi.acline", errno.EIO)), "sensors_battery", ()),
]


@debug_only
@pytest.mark.parametrize("label, arrange, function, args", KERNEL_FAILURES, ids=[f[0] for f in KERNEL_FAILURES])
def test_failed_kernel_reads_keep_the_reference_total(norvik, kernel, label, arrange, function, args):
    arrange(kernel)
    check(f"{function}({label})", swallowing(getattr(norvik, function), *args), function)


def undefined_symbols(path):
    out = subprocess.run(["nm", "-D", "--undefined-only", path], capture_output=True, text=True, check=True)
    return {line.split()[-1] for line in out.stdout.splitlines() if line.strip()}


@debug_only
def test_the_module_counts_its_own_references(norvik, release_module_path):
    """Built for this debug interpreter with its debug headers, the module's
    own Py_INCREF and Py_DECREF add to the total; with the release headers it
    would load all the same and hide its references from the count."""
    for path in (norvik.__file__, release_module_path):
        assert os.path.dirname(path) in (SCRIPTED_DIR, os.path.dirname(release_module_path))
        used = undefined_symbols(path)
        assert {"_Py_INCREF_IncRefTotal", "_Py_DECREF_DecRefTotal"} <= used, path


def compile_guard(define):
    """src/python_abi_check.cpp compiled with this interpreter's headers."""
    cxx = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if not cxx:
        pytest.skip("no C++ compiler")
    flags = []
    if "clang" not in subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout:
        flags.append("-fno-canonical-system-headers")  # as CMakeLists.txt gives GCC
    source = os.path.join(HERE, "..", "..", "src", "python_abi_check.cpp")
    return subprocess.run([cxx, "-std=c++20", "-fsyntax-only", *flags, *define,
                           "-isystem", sysconfig.get_paths()["include"], source], capture_output=True, text=True)


def test_a_debug_abi_build_stops_unless_it_reads_debug_headers():
    """Told that the interpreter is a debug one, the build goes on only with
    headers that define Py_REF_DEBUG: this interpreter's own when it is a
    debug build; a release interpreter's headers stop it with a message."""
    told = compile_guard(["-DNORVIK_PYTHON_DEBUG_ABI"])
    if DEBUG:
        assert told.returncode == 0, told.stderr
    else:
        assert told.returncode != 0 and "Py_REF_DEBUG is not defined" in told.stderr, told.stderr
    plain = compile_guard([])
    assert plain.returncode == 0, plain.stderr
