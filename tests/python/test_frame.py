"""What Python sees of the module frame: start-up switches, set_debug, the
registered functions and constants, the exception class, the exported
symbols, and getpagesize.

The function checks run over every function the module has, so they keep
holding as functions are added."""
import ctypes
import json
import mmap
import os
import re
import resource
import shutil
import subprocess

import pytest

from conftest import RELEASE_DIR, SCRIPTED_DIR, run_python

# The two method tables, in table order.
PLATFORM_FUNCTIONS = [
    "proc_cmdline", "proc_cwd", "proc_environ", "proc_name", "proc_num_fds",
    "proc_oneshot_info", "proc_open_files", "proc_threads", "proc_num_threads",
    "proc_cpu_affinity_get", "proc_cpu_affinity_set", "proc_exe", "proc_getrlimit",
    "proc_memory_maps", "proc_net_connections", "proc_setrlimit", "boot_time",
    "cpu_count_logical", "cpu_stats", "cpu_times", "disk_io_counters", "disk_partitions",
    "net_connections", "net_io_counters", "per_cpu_times", "pids", "swap_mem", "heap_info",
    "heap_trim", "virtual_mem", "cpu_freq", "cpu_topology", "sensors_battery",
    "sensors_cpu_temperature", "check_pid_range", "set_debug",
]
PORTABLE_FUNCTIONS = [
    "getpagesize", "net_if_addrs", "net_if_flags", "net_if_is_running", "net_if_mtu",
    "proc_priority_get", "proc_priority_set", "net_if_duplex_speed", "users", "proc_is_zombie",
]
# Functions that parse no arguments.
WITHOUT_ARGUMENTS = {
    "boot_time", "cpu_count_logical", "cpu_stats", "cpu_times", "disk_io_counters",
    "disk_partitions", "net_io_counters", "per_cpu_times", "pids", "swap_mem", "heap_info",
    "heap_trim", "virtual_mem", "cpu_topology", "sensors_battery", "getpagesize",
    "net_if_addrs", "users",
}

POSIX_CONSTANTS = [
    ("AF_LINK", 18), ("RLIMIT_AS", 10), ("RLIMIT_CORE", 4), ("RLIMIT_CPU", 0),
    ("RLIMIT_DATA", 2), ("RLIMIT_FSIZE", 1), ("RLIMIT_MEMLOCK", 6), ("RLIMIT_NOFILE", 8),
    ("RLIMIT_NPROC", 7), ("RLIMIT_RSS", 5), ("RLIMIT_STACK", 3), ("RLIMIT_SWAP", 12),
    ("RLIMIT_SBSIZE", 9), ("RLIMIT_NPTS", 11), ("RLIM_INFINITY", 2**63 - 1),
]
PLATFORM_CONSTANTS = [
    ("version", 722), ("SIDL", 1), ("SRUN", 2), ("SSLEEP", 3), ("SSTOP", 4), ("SZOMB", 5),
    ("SWAIT", 6), ("SLOCK", 7), ("TCPS_CLOSED", 0), ("TCPS_CLOSING", 7),
    ("TCPS_CLOSE_WAIT", 5), ("TCPS_LISTEN", 1), ("TCPS_ESTABLISHED", 4),
    ("TCPS_SYN_SENT", 2), ("TCPS_SYN_RECEIVED", 3), ("TCPS_FIN_WAIT_1", 6),
    ("TCPS_FIN_WAIT_2", 9), ("TCPS_LAST_ACK", 8), ("TCPS_TIME_WAIT", 10),
    ("NORVIK_CONN_NONE", 128),
]
EXPORTED = {"PyInit__norvik_bsd", "NORVIK_DEBUG", "NORVIK_TESTING", "ZombieProcessError",
            "NORVIK_CONN_NONE"}

DEBUG_LINE = re.compile(r"norvik-debug \[(?P<file>[^\]:]+):(?P<line>\d+)\]> (?P<message>.*)")


def functions(module):
    """Every Python-callable function of the module, by name, in __dict__ order."""
    return {name: value for name, value in vars(module).items()
            if type(value).__name__ == "builtin_function_or_method"}


def own_names(module):
    """The module's own attributes in registration order (without the dunder
    attributes the interpreter adds)."""
    return [name for name in vars(module) if not (name.startswith("__") and name.endswith("__"))]


def flag(module, name):
    return ctypes.c_int.in_dll(ctypes.CDLL(module.__file__), name)


# Reads both flags in a fresh interpreter.
READ_FLAGS = """
import ctypes, _norvik_bsd as m
lib = ctypes.CDLL(m.__file__)
print(ctypes.c_int.in_dll(lib, 'NORVIK_DEBUG').value, ctypes.c_int.in_dll(lib, 'NORVIK_TESTING').value)
"""


@pytest.mark.parametrize("module_dir", [SCRIPTED_DIR, RELEASE_DIR], ids=["scripted", "release"])
@pytest.mark.parametrize("env, expected", [
    ({}, "0 0"),
    ({"NORVIK_DEBUG": ""}, "1 0"),
    ({"NORVIK_DEBUG": "0"}, "1 0"),
    ({"NORVIK_DEBUG": "no"}, "1 0"),
    ({"NORVIK_TESTING": "0"}, "0 1"),
    ({"NORVIK_TESTING": ""}, "0 1"),
    ({"NORVIK_DEBUG": "0", "NORVIK_TESTING": "false"}, "1 1"),
], ids=["absent", "debug-empty", "debug-0", "debug-no", "testing-0", "testing-empty", "both"])
def test_switches_come_from_the_presence_of_the_environment_variables(module_dir, env, expected):
    result = run_python(READ_FLAGS, env, module_dir=module_dir)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == expected.split()
    # Start-up itself writes no debug lines.
    assert result.stderr == ""


# Lets the process table grow once under the module, then lists the pids.
GROW_AND_LIST = """
import sys
sys.path.insert(0, %r)
import norvik_bsd_testing
with norvik_bsd_testing.scripted_kernel() as k:
    k.grow('kern.proc.*', 1)
    k.module.pids()
"""


def test_debug_switched_on_by_an_empty_value_writes_debug_lines():
    code = GROW_AND_LIST % os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python")
    quiet = run_python(code)
    assert quiet.returncode == 0, quiet.stderr
    assert quiet.stderr == ""
    loud = run_python(code, {"NORVIK_DEBUG": ""})
    assert loud.returncode == 0, loud.stderr
    lines = loud.stderr.splitlines()
    assert lines, "no debug line"
    for line in lines:
        m = DEBUG_LINE.fullmatch(line)
        assert m, line
        assert m["file"] == "src/arch/posix/sysctl.cpp"
        assert m["message"] == "norvik_sysctl_malloc() retry"


@pytest.fixture
def debug_flag(norvik):
    value = flag(norvik, "NORVIK_DEBUG")
    before = value.value
    yield value
    value.value = before


@pytest.mark.parametrize("arg, expected", [
    (0, 0), ([], 0), (None, 0), ("", 0), (0.0, 0), (False, 0),
    ("x", 1), (1, 1), (-1, 1), ([0], 1), (object(), 1), (True, 1),
])
def test_set_debug_takes_the_truth_value(norvik, debug_flag, arg, expected):
    debug_flag.value = 1 - expected
    assert norvik.set_debug(arg) is None
    assert debug_flag.value == expected


class TruthFails(Exception):
    pass


class NoTruth:
    def __bool__(self):
        raise TruthFails("no truth here")


class NoLength:
    def __len__(self):
        raise TruthFails("no length either")


@pytest.mark.parametrize("start", [0, 1])
@pytest.mark.parametrize("value", [NoTruth(), NoLength()], ids=["bool", "len"])
def test_set_debug_passes_a_failed_truth_test_on_and_keeps_the_flag(norvik, debug_flag, start, value):
    debug_flag.value = start
    with pytest.raises(TruthFails):
        norvik.set_debug(value)
    assert debug_flag.value == start


def test_set_debug_switches_debug_lines(norvik, kernel, capfd, debug_flag):
    kernel.grow("kern.proc.*", 1)
    norvik.set_debug(True)
    norvik.pids()
    norvik.set_debug(0)
    kernel.grow("kern.proc.*", 1)
    norvik.pids()
    err = capfd.readouterr().err
    # One scripted growth; the live table may grow for real too, but only
    # while the switch is on do retries write anything.
    lines = err.splitlines()
    assert lines, err
    for line in lines:
        m = DEBUG_LINE.fullmatch(line)
        assert m and m["message"] == "norvik_sysctl_malloc() retry", line
        assert m["file"] == "src/arch/posix/sysctl.cpp"
    assert len(lines) < 10


def test_set_debug_argument_count(norvik):
    with pytest.raises(TypeError):
        norvik.set_debug()
    with pytest.raises(TypeError):
        norvik.set_debug(1, 2)


def test_constants_values_and_types(norvik):
    for name, value in POSIX_CONSTANTS + PLATFORM_CONSTANTS:
        assert type(getattr(norvik, name)) is int, name
        assert getattr(norvik, name) == value, name
    tcp_states = [value for name, value in PLATFORM_CONSTANTS if name.startswith("TCPS_")]
    assert sorted(tcp_states) == list(range(11))
    assert norvik.NORVIK_CONN_NONE not in tcp_states


def test_registration_order(norvik):
    names = own_names(norvik)
    present = functions(norvik)
    unknown = set(present) - set(PLATFORM_FUNCTIONS) - set(PORTABLE_FUNCTIONS)
    assert not unknown, f"functions outside both tables: {unknown}"
    platform = [name for name in PLATFORM_FUNCTIONS if name in present]
    portable = [name for name in PORTABLE_FUNCTIONS if name in present]
    expected = (platform + [name for name, _ in POSIX_CONSTANTS] + portable + ["ZombieProcessError"]
                + [name for name, _ in PLATFORM_CONSTANTS])
    assert names == expected


def test_release_module_registers_the_same_names_in_the_same_order(norvik):
    code = "import json, _norvik_bsd as m; print(json.dumps(list(vars(m))))"
    result = run_python(code, module_dir=RELEASE_DIR)
    assert result.returncode == 0, result.stderr
    release = [name for name in json.loads(result.stdout)
               if not (name.startswith("__") and name.endswith("__"))]
    assert release == own_names(norvik)


def test_this_frame_registers_its_own_functions(norvik):
    present = functions(norvik)
    assert "set_debug" in present
    assert "getpagesize" in present


def test_zombie_process_error_class(norvik):
    cls = norvik.ZombieProcessError
    assert isinstance(cls, type)
    assert cls.__name__ == "ZombieProcessError"
    assert cls.__module__ == "_norvik_posix"
    assert cls.__bases__ == (Exception,)
    assert not issubclass(cls, OSError)
    with pytest.raises(cls) as caught:
        raise cls(1234)
    assert caught.value.args == (1234,)
    # The exported pointer is the very class the module carries.
    lib = ctypes.CDLL(norvik.__file__)
    assert ctypes.c_void_p.in_dll(lib, "ZombieProcessError").value == id(cls)
    assert ctypes.c_int.in_dll(lib, "NORVIK_CONN_NONE").value == 128


def test_portable_and_platform_functions_are_bound_differently(norvik):
    for name, function in functions(norvik).items():
        if name in PLATFORM_FUNCTIONS:
            assert function.__self__ is norvik, name
            assert function.__module__ == "_norvik_bsd", name
        else:
            assert function.__self__ is None, name
            assert function.__module__ is norvik, name
        assert function.__name__ == name
        assert function.__doc__ is None, name


def test_every_function_refuses_keywords(norvik):
    for name, function in functions(norvik).items():
        with pytest.raises(TypeError, match="keyword"):
            function(pid=1)
        with pytest.raises(TypeError, match="keyword"):
            function(1, value=1)


def outcome(function, *args):
    try:
        return "value", type(function(*args))
    except Exception as exc:  # the same failure both ways is what counts
        return "raised", type(exc)


def test_functions_without_arguments_ignore_extra_positional_ones(norvik):
    checked = 0
    for name, function in functions(norvik).items():
        if name not in WITHOUT_ARGUMENTS:
            continue
        assert outcome(function) == outcome(function, 1, "two", None, [3]), name
        checked += 1
    assert checked >= 2  # pids and getpagesize at least


def test_getpagesize_against_the_standard_library(norvik):
    size = norvik.getpagesize()
    assert type(size) is int
    assert size == os.sysconf("SC_PAGESIZE") == resource.getpagesize() == mmap.PAGESIZE
    assert norvik.getpagesize(1, "x", None) == size


def dynamic_symbols(path):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True)
    return {line.split()[-1] for line in out.stdout.splitlines() if line.strip()}


def test_release_module_exports_exactly_five_names(release_module_path):
    assert dynamic_symbols(release_module_path) == EXPORTED


def test_test_build_adds_only_the_script_controls(norvik):
    symbols = dynamic_symbols(norvik.__file__)
    assert EXPORTED <= symbols
    assert all(name.startswith("norvik_script_") for name in symbols - EXPORTED), symbols - EXPORTED


# The allocating reads' failures as Python sees them, through the process table.
def test_allocating_read_failures_reach_python(norvik, kernel):
    import errno
    from norvik_bsd_testing import ALWAYS, READ, SIZE

    kernel.fail("kern.proc.*", errno.EACCES, times=1, on=READ)
    with pytest.raises(PermissionError) as caught:
        norvik.pids()
    assert caught.value.errno == errno.EACCES
    assert caught.value.strerror == os.strerror(errno.EACCES) + " (originated from sysctl() malloc 3/3)"

    kernel.reset()
    kernel.grow("kern.proc.*", 1)
    kernel.fail("kern.proc.*", errno.EIO, times=1, after=1, on=SIZE)
    with pytest.raises(OSError) as caught:
        norvik.pids()
    assert type(caught.value) is OSError
    assert caught.value.strerror == os.strerror(errno.EIO) + " (originated from sysctl() malloc 2/3)"

    kernel.reset()
    kernel.grow("kern.proc.*", ALWAYS)
    with pytest.raises(RuntimeError, match=r"^sysctl\(\) buffer allocation retry limit exceeded$"):
        norvik.pids()

    kernel.reset()
    assert os.getpid() in norvik.pids()


# Argument formats of the functions that parse arguments.
FORMATS = {
    "proc_environ": "l", "proc_cpu_affinity_set": "iO", "proc_getrlimit": "ii",
    "proc_net_connections": "iOO", "proc_setrlimit": "iiOO", "net_connections": "OO",
    "set_debug": "O", "proc_priority_set": "ii",
    **{name: "s" for name in ("net_if_flags", "net_if_is_running", "net_if_mtu", "net_if_duplex_speed")},
    **{name: "i" for name in (
        "proc_cmdline", "proc_cwd", "proc_name", "proc_num_fds", "proc_oneshot_info",
        "proc_open_files", "proc_threads", "proc_num_threads", "proc_cpu_affinity_get", "proc_exe",
        "proc_memory_maps", "cpu_freq", "sensors_cpu_temperature", "check_pid_range",
        "proc_priority_get", "proc_is_zombie")},
}
FILLER = {"i": 0, "l": 0, "s": "lo", "O": None}


def with_first(fmt, first):
    """An argument tuple of the right length whose first value is `first`."""
    return (first,) + tuple(FILLER[letter] for letter in fmt[1:])


def test_formats_cover_every_function_of_both_tables():
    assert set(FORMATS) | WITHOUT_ARGUMENTS == set(PLATFORM_FUNCTIONS) | set(PORTABLE_FUNCTIONS)
    assert not set(FORMATS) & WITHOUT_ARGUMENTS


def test_wrong_arguments_get_the_interpreters_own_errors(norvik):
    """Every failure here happens in the argument parser, before any call
    reaches the kernel."""
    for name, function in functions(norvik).items():
        fmt = FORMATS.get(name)
        if fmt is None:
            continue
        with pytest.raises(TypeError):
            function()
        with pytest.raises(TypeError):
            function(*([1.5] * (len(fmt) + 1)))  # one too many
        first = fmt[0]
        if first in "il":
            with pytest.raises(TypeError):
                function(*with_first(fmt, 1.5))
            with pytest.raises(TypeError):
                function(*with_first(fmt, "1"))
            with pytest.raises(OverflowError):
                function(*with_first(fmt, 2**63 if first == "l" else 2**31))
            with pytest.raises(OverflowError):
                function(*with_first(fmt, -2**63 - 1 if first == "l" else -2**31 - 1))
        elif first == "s":
            with pytest.raises(TypeError):
                function(*with_first(fmt, 1))
            with pytest.raises(TypeError):
                function(*with_first(fmt, b"lo"))
            with pytest.raises(ValueError):
                function(*with_first(fmt, "l\0o"))
        if fmt[1:2] == "i":
            with pytest.raises(OverflowError):
                function(0, 2**31, *(FILLER[letter] for letter in fmt[2:]))
