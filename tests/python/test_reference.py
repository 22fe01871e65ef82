"""The typed stub, the reference and the module tell one story: the reference
is what tools/reference.py makes of the stub, the stub names exactly what the
release module has, and every function's real result has the shape the stub
gives it (stubtest can't see inside the results, nor the parameters of
functions without a text signature)."""
import ast
import importlib.util
import json
import os
import sys

import pytest

from conftest import RELEASE_DIR, run_python
from norvik_bsd_testing.system_records import int32
from module_calls import CALLS, Target
from norvik_bsd_testing.storage_records import USER_PROCESS, utmpx

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
_spec = importlib.util.spec_from_file_location("reference", os.path.join(ROOT, "tools", "reference.py"))
reference = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = reference
_spec.loader.exec_module(reference)


def read_text(path):
    with open(path) as f:
        return f.read()


STUB = reference.parse_stub(read_text(reference.STUB))


def test_reference_is_generated_from_the_stub():
    current = read_text(reference.REFERENCE)
    assert reference.render(current, STUB) == current, "run python3 tools/reference.py"
    blocks = reference.documented(current)
    assert sorted(blocks) == sorted(STUB.functions) and len(blocks) == len(set(blocks)) == 46


def test_stub_names_what_the_release_module_has():
    code = """if True:
        import json, _norvik_bsd as m
        kinds = {}
        refuses_keywords = []
        for name in dir(m):
            value = getattr(m, name)
            if name.startswith("__"):
                continue
            kinds[name] = type(value).__name__
            if callable(value) and not isinstance(value, type):
                try:
                    value(x=1)
                except TypeError as e:
                    if "keyword" in str(e):
                        refuses_keywords.append(name)
        bases = [b.__name__ for b in m.ZombieProcessError.__bases__]
        ints = {n: getattr(m, n) for n, k in kinds.items() if k == "int"}
        print(json.dumps([kinds, refuses_keywords, bases, ints]))
    """
    result = run_python(code, module_dir=RELEASE_DIR)
    assert result.returncode == 0, result.stderr
    kinds, refuses_keywords, bases, ints = json.loads(result.stdout)
    functions = sorted(n for n, k in kinds.items() if k == "builtin_function_or_method")
    assert functions == sorted(STUB.functions)
    assert sorted(refuses_keywords) == functions
    assert sorted(ints) == sorted(STUB.constants)
    assert set(kinds) == set(functions) | set(ints) | {"ZombieProcessError"}
    stub_class = next(n for n in ast.parse(read_text(reference.STUB)).body if isinstance(n, ast.ClassDef))
    assert [ast.unparse(b) for b in stub_class.bases] == bases == ["Exception"]


BUILTIN_TYPES = {"int": int, "float": float, "str": str, "bool": bool}


def conforms(value, node):
    """Whether a value has the shape of a stub annotation."""
    if isinstance(node, ast.Constant) and node.value is None:
        return value is None
    if isinstance(node, ast.Name):
        if node.id in STUB.aliases:
            return conforms(value, STUB.aliases[node.id].node)
        return type(value) is BUILTIN_TYPES[node.id]
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        return conforms(value, node.left) or conforms(value, node.right)
    if isinstance(node, ast.Subscript):
        kind = node.value.id
        args = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        if kind == "tuple":
            return type(value) is tuple and len(value) == len(args) and all(map(conforms, value, args))
        if kind == "list":
            return type(value) is list and all(conforms(v, args[0]) for v in value)
        if kind == "dict":
            return type(value) is dict and all(conforms(k, args[0]) and conforms(v, args[1])
                                               for k, v in value.items())
    raise AssertionError(f"no check for {ast.unparse(node)}")


@pytest.fixture(scope="module")
def target():
    made = Target()
    yield made
    made.close()


def test_every_result_has_the_stub_shape(norvik, kernel, target):
    # What this machine lacks, the scripted kernel answers.
    kernel.answer("dev.cpu.0.freq", int32(2400))
    kernel.answer("dev.cpu.0.freq_levels", b"2400/45000 1200/20000\0")
    for key, value in (("hw.acpi.battery.life", 80), ("hw.acpi.battery.time", 95), ("hw.acpi.acline", 0),
                       ("dev.cpu.0.temperature", 3231), ("dev.cpu.0.coretemp.tjmax", 3731)):
        kernel.answer(key, int32(value))
    kernel.answer("getutxent.0", utmpx(USER_PROCESS, b"u", b"pts/0", b"example.org", sec=5, pid=7))
    assert sorted(call.name for call in CALLS) == sorted(STUB.functions)
    results = {}
    for call in CALLS:
        args = call.arguments(target)
        results[call.name] = getattr(norvik, call.name)(*args)
        assert len(args) == len(STUB.functions[call.name].params), call.name
        assert conforms(results[call.name], STUB.functions[call.name].returns), (call.name, results[call.name])
    # The lists and dicts above held rows to check, not nothing.
    for name in ("pids", "proc_cmdline", "proc_environ", "proc_threads", "proc_open_files", "proc_memory_maps",
                 "proc_cpu_affinity_get", "per_cpu_times", "disk_partitions", "users", "net_io_counters",
                 "net_if_addrs", "net_if_flags"):
        assert results[name], name
    # Both forms of the connection tuples were there to check.
    for name, width in (("net_connections", 7), ("proc_net_connections", 6)):
        assert {row[1] for row in results[name]} >= {1, 2}
        assert {len(row) for row in results[name]} == {width}


def test_the_shape_check_can_fail():
    oneshot = STUB.functions["proc_oneshot_info"].returns
    good = (1, 2) + (0,) * 7 + (1.5,) + (0,) * 4 + (0.0,) * 4 + (0,) * 6 + (None,)
    assert conforms(good, oneshot)
    assert not conforms(good[:-1], oneshot)
    assert not conforms(good[:-1] + (b"name",), oneshot)
    assert not conforms((True,) + good[1:], oneshot)
    raddr = STUB.functions["net_connections"].returns
    assert conforms([(3, 2, 1, ("127.0.0.1", 80), (), 1, 9), (4, 1, 2, "/s", "", 128, 9)], raddr)
    assert not conforms([(3, 2, 1, ("127.0.0.1", 80), ("x",), 1, 9)], raddr)
    assert not conforms({"lo": (0,) * 7}, STUB.functions["net_io_counters"].returns)


# ---- the reference's statements, held to the module ----------------------------
#
# Each row: the entry of docs/reference.md that states a fact, words of that
# entry that state it, the state the test makes, the call, and the outcome
# the words promise. The words must be in the entry (so the entry cannot
# drop or change the statement unnoticed) and the call must come out so (so
# the statement cannot be false).

import errno  # noqa: E402
import pickle  # noqa: E402
import re  # noqa: E402
import subprocess  # noqa: E402
import threading  # noqa: E402
from dataclasses import dataclass  # noqa: E402
from typing import Any, Callable  # noqa: E402

from proc_children import as_nobody, gone_pid, zombie  # noqa: E402
import time  # noqa: E402

ON_LINUX = os.uname().sysname == "Linux"


@dataclass
class Raises:
    kind: type
    errno: Any = None  # None: not checked
    message: str = ""  # a regular expression the message must match
    origin: Any = None  # True: "(originated from ...)" in the message; False: not; None: not checked

    def check(self, outcome):
        assert isinstance(outcome, BaseException), f"returned {outcome!r}, want {self.kind.__name__}"
        assert type(outcome) is self.kind, f"raised {type(outcome).__name__}: {outcome}"
        if self.errno is not None:
            assert outcome.errno == self.errno, outcome
        # An OSError's message is its strerror; str() puts "[Errno N] " before it.
        text = outcome.strerror if isinstance(outcome, OSError) and outcome.strerror else str(outcome)
        assert re.search(self.message, text), (self.message, text)
        if self.origin is not None:
            assert ("(originated from" in text) == self.origin, text


@dataclass
class Gives:
    test: Callable[[Any], bool]
    text: str

    def check(self, outcome):
        assert not isinstance(outcome, BaseException), f"raised {type(outcome).__name__}: {outcome}"
        assert self.test(outcome), f"{outcome!r}: not {self.text}"


@dataclass
class Fact:
    entry: str  # the function whose entry (or "Conventions") states it
    says: str  # words of the entry, as written (line breaks are spaces)
    state: str  # what the call is made on: a key of STATES
    call: Callable  # (module, pid) -> value
    outcome: Any  # Raises or Gives
    linux_only: bool = False
    as_root: bool = False  # the state needs root: another user calls on the child


def sleeping_child():
    """A sleeper with three descriptors (0 to 2 on /dev/null), no terminal."""
    proc = subprocess.Popen(["/bin/sleep", "300"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + 10
    while os.readlink(f"/proc/{proc.pid}/exe") != "/usr/bin/sleep":
        assert time.monotonic() < deadline, "the child did not start sleep"
        time.sleep(0.005)
    return proc


def block_name(name):
    """FreeBSD's name for a Linux disk: sd/vd/hd/xvd letters as a unit from 0."""
    match = re.fullmatch(r"(sd|vd|hd|xvd)([a-z]+)", name)
    if not match:
        return None
    unit = 0
    for letter in match.group(2):
        unit = unit * 26 + ord(letter) - ord("a") + 1
    return f"{match.group(1)}{unit - 1}"


def user_jiffies():
    with open("/proc/stat") as f:
        return int(f.readline().split()[1]) / os.sysconf("SC_CLK_TCK")


def set_then_get_nice(m, pid):
    m.proc_priority_set(pid, 25)
    return m.proc_priority_get(pid)


def soft_above_hard(m, pid):
    m.proc_setrlimit(pid, m.RLIMIT_NOFILE, 200, 100)
    return m.proc_getrlimit(pid, m.RLIMIT_NOFILE)


def pickled_zombie_error(m, pid):
    return pickle.dumps(m.ZombieProcessError("gone"))


ESRCH = Raises(ProcessLookupError, errno.ESRCH)


def refused(errnum):
    """What as_nobody reports for a call that raised PermissionError with ERRNUM."""
    return Gives(lambda v: v == ("raised", "PermissionError", errnum), f"PermissionError {errnum}")

FACTS = [
    # Limits and priority.
    Fact("proc_setrlimit", "A soft limit above the hard one is lowered to the hard one", "child",
         soft_above_hard, Gives(lambda v: v == (100, 100), "(100, 100)")),
    Fact("proc_setrlimit", "EINVAL for an unknown resource", "child",
         lambda m, pid: m.proc_setrlimit(pid, 99, 1, 1), Raises(OSError, errno.EINVAL, origin=False)),
    Fact("proc_getrlimit", "errno EINVAL for an unknown resource", "child",
         lambda m, pid: m.proc_getrlimit(pid, 99), Raises(OSError, errno.EINVAL, r"sysctl\(\)", origin=True)),
    Fact("proc_getrlimit", "`ProcessLookupError` for a pid that does not exist or is a zombie", "zombie",
         lambda m, pid: m.proc_getrlimit(pid, m.RLIMIT_NOFILE), ESRCH),
    Fact("proc_priority_get", "a process set to 20 reads 19", "child", set_then_get_nice,
         Gives(lambda v: v == 19, "19"), linux_only=True),
    Fact("proc_priority_get", "the system's text alone", "gone",
         lambda m, pid: m.proc_priority_get(pid), Raises(ProcessLookupError, errno.ESRCH, origin=False)),
    Fact("proc_priority_get", "is a zombie", "zombie", lambda m, pid: m.proc_priority_get(pid), ESRCH),
    # Affinity.
    Fact("proc_cpu_affinity_get", "(the system's text alone)", "gone",
         lambda m, pid: m.proc_cpu_affinity_get(pid), Raises(ProcessLookupError, errno.ESRCH, origin=False)),
    Fact("proc_cpu_affinity_get", "`ProcessLookupError` for a pid that does not exist or is a zombie", "zombie",
         lambda m, pid: m.proc_cpu_affinity_get(pid), ESRCH),
    Fact("proc_cpu_affinity_get", "A pid of -1 means the calling process", "self",
         lambda m, pid: m.proc_cpu_affinity_get(-1), Gives(lambda v: v == sorted(os.sched_getaffinity(0)),
                                                            "os.sched_getaffinity(0)")),
    Fact("proc_cpu_affinity_set", "`errno.EDEADLK` for an empty set of CPUs", "child",
         lambda m, pid: m.proc_cpu_affinity_set(pid, []), Raises(OSError, errno.EDEADLK, origin=False)),
    Fact("proc_cpu_affinity_set", '`ValueError` "invalid CPU number N (must be 0 to 1023)"', "child",
         lambda m, pid: m.proc_cpu_affinity_set(pid, [1024]),
         Raises(ValueError, message=r"^invalid CPU number 1024 \(must be 0 to 1023\)$")),
    Fact("proc_cpu_affinity_set", '`TypeError` "expected a sequence or integer"', "child",
         lambda m, pid: m.proc_cpu_affinity_set(pid, 3), Raises(TypeError, message="expected a sequence or integer")),
    # A zombie's record stays; its tables are gone.
    Fact("proc_oneshot_info", "a zombie answers too (state `SZOMB`", "zombie",
         lambda m, pid: m.proc_oneshot_info(pid)[1], Gives(lambda v: v == 5, "SZOMB")),
    Fact("Conventions", "`proc_threads` and `proc_is_zombie` answer for it", "zombie",
         lambda m, pid: (m.proc_is_zombie(pid), len(m.proc_threads(pid)), m.proc_num_threads(pid)),
         Gives(lambda v: v == (True, 1, 1), "(True, 1, 1)")),
    Fact("proc_cwd", "`ProcessLookupError` for a zombie", "zombie",
         lambda m, pid: m.proc_cwd(pid), Raises(ProcessLookupError, errno.ESRCH, r"kinfo_getfile\(\)", True)),
    Fact("proc_open_files", "Raises as `proc_cwd`", "zombie",
         lambda m, pid: m.proc_open_files(pid), Raises(ProcessLookupError, errno.ESRCH, r"kinfo_getfile\(\)", True)),
    Fact("proc_num_fds", "Raises as `proc_cwd`", "zombie",
         lambda m, pid: m.proc_num_fds(pid), Raises(ProcessLookupError, errno.ESRCH, r"kinfo_getfile\(\)", True)),
    Fact("proc_memory_maps", "`ProcessLookupError` for a zombie", "zombie",
         lambda m, pid: m.proc_memory_maps(pid), Raises(ProcessLookupError, errno.ESRCH, r"kinfo_getvmmap\(\)", True)),
    Fact("proc_net_connections", "(a negative one included) or is a zombie", "zombie",
         lambda m, pid: m.proc_net_connections(pid, (1, 2, 28), (1, 2)),
         Raises(ProcessLookupError, errno.ESRCH, r"kinfo_getfile\(\)", True)),
    Fact("proc_net_connections", "(a negative one included)", "child",
         lambda m, pid: m.proc_net_connections(-pid, (2,), (1,)), ESRCH),
    Fact("proc_environ", '"force no such process (originated from kvm_getenvv -> ESRCH)" for a zombie', "zombie",
         lambda m, pid: m.proc_environ(pid),
         Raises(ProcessLookupError, errno.ESRCH, r"^force no such process \(originated from kvm_getenvv -> ESRCH\)$")),
    Fact("proc_environ", '"force no such process (originated from kvm_getprocs)" when libkvm does not find', "gone",
         lambda m, pid: m.proc_environ(pid),
         Raises(ProcessLookupError, errno.ESRCH, r"^force no such process \(originated from kvm_getprocs\)$")),
    Fact("proc_exe", "(a kernel process, a zombie,", "zombie", lambda m, pid: m.proc_exe(pid),
         Gives(lambda v: v == "", '""')),
    Fact("proc_cmdline", "a zombie's arguments are gone, so it gives `[]`", "zombie",
         lambda m, pid: m.proc_cmdline(pid), Gives(lambda v: v == [], "[]"), linux_only=True),
    # Origins in messages.
    Fact("proc_oneshot_info", 'origin "sysctl(kinfo_proc)"', "gone", lambda m, pid: m.proc_oneshot_info(pid),
         Raises(ProcessLookupError, errno.ESRCH, r"^No such process \(originated from sysctl\(kinfo_proc\)\)$")),
    Fact("proc_cmdline", 'origin "sysctl() malloc 1/3"', "gone", lambda m, pid: m.proc_cmdline(pid),
         Raises(ProcessLookupError, errno.ESRCH, r"\(originated from sysctl\(\) malloc 1/3\)$")),
    Fact("proc_exe", 'origin "sysctl(KERN_PROC_PATHNAME)"', "gone", lambda m, pid: m.proc_exe(pid),
         Raises(ProcessLookupError, errno.ESRCH, r"\(originated from sysctl\(KERN_PROC_PATHNAME\)\)$")),
    Fact("Conventions", 'raises `RuntimeError` "norvik_kinfo_proc() invalid args passed to function"', "child",
         lambda m, pid: m.proc_cwd(-pid), Raises(RuntimeError, message=r"^norvik_kinfo_proc\(\) invalid args")),
    Fact("net_if_flags", 'origin "ioctl(SIOCGIFFLAGS)"', "self", lambda m, pid: m.net_if_flags("nosuch0"),
         Raises(OSError, errno.ENXIO, r"\(originated from ioctl\(SIOCGIFFLAGS\)\)$")),
    Fact("net_if_mtu", "Raises as `net_if_flags`, with the system's text alone", "self",
         lambda m, pid: m.net_if_mtu("nosuch0"), Raises(OSError, errno.ENXIO, origin=False)),
    Fact("net_if_is_running", "Raises as `net_if_flags`, with the system's text alone", "self",
         lambda m, pid: m.net_if_is_running("nosuch0"), Raises(OSError, errno.ENXIO, origin=False)),
    Fact("net_if_flags", "a name holding surrogate escapes raises `UnicodeEncodeError`", "self",
         lambda m, pid: m.net_if_flags("eth\udcff"), Raises(UnicodeEncodeError)),
    Fact("net_if_duplex_speed", "or a name no interface has, gives `[0, 0]`", "self",
         lambda m, pid: m.net_if_duplex_speed("nosuch0"), Gives(lambda v: v == [0, 0], "[0, 0]")),
    # Descriptor tables.
    Fact("proc_num_fds", "A process with three descriptors and no terminal counts 6", "child",
         lambda m, pid: m.proc_num_fds(pid), Gives(lambda v: v == 6, "6")),
    Fact("proc_open_files", "listed with descriptor -5", "child", lambda m, pid: m.proc_open_files(pid),
         Gives(lambda v: v == [("/usr/bin/sleep", -5)], "[('/usr/bin/sleep', -5)] (0 to 2 are /dev/null)")),
    # The exception class.
    Fact("Conventions", "its `__module__` is `_norvik_posix`", "self",
         lambda m, pid: m.ZombieProcessError.__module__, Gives(lambda v: v == "_norvik_posix", "_norvik_posix")),
    Fact("Conventions", "so an instance does not pickle", "self", pickled_zombie_error,
         Raises(pickle.PicklingError)),
    # Another user's process (the caller is user nobody, the child root's).
    Fact("proc_exe", "another user's process without ptrace rights raises `PermissionError`", "child",
         lambda m, pid: as_nobody(lambda: m.proc_exe(pid)), refused(errno.EPERM), linux_only=True, as_root=True),
    Fact("proc_cwd", "`PermissionError` (EPERM) for another user's process without the privilege", "child",
         lambda m, pid: as_nobody(lambda: m.proc_cwd(pid)), refused(errno.EPERM), as_root=True),
    Fact("proc_memory_maps", "`PermissionError` for another user's process without the privilege", "child",
         lambda m, pid: as_nobody(lambda: m.proc_memory_maps(pid)), refused(errno.EPERM), as_root=True),
    Fact("proc_environ", "`PermissionError` (errno EACCES)", "child",
         lambda m, pid: as_nobody(lambda: m.proc_environ(pid)), refused(errno.EACCES), as_root=True),
    Fact("proc_setrlimit", "or for another user's process", "child",
         lambda m, pid: as_nobody(lambda: m.proc_setrlimit(pid, m.RLIMIT_CORE, 0, 0)), refused(errno.EPERM),
         as_root=True),
    Fact("proc_getrlimit", "Anyone who can see a process may read its limits", "child",
         lambda m, pid: as_nobody(lambda: m.proc_getrlimit(pid, m.RLIMIT_NOFILE))[0],
         Gives(lambda v: v == "ok", "read"), as_root=True),
    # Limits the Linux host does not keep.
    Fact("proc_getrlimit", "which the host does not limit, read `RLIM_INFINITY`", "self",
         lambda m, pid: {m.proc_getrlimit(pid, r) for r in (m.RLIMIT_SBSIZE, m.RLIMIT_NPTS, m.RLIMIT_SWAP)},
         Gives(lambda v: v == {(2**63 - 1, 2**63 - 1)}, "RLIM_INFINITY"), linux_only=True),
    Fact("proc_getrlimit", "is not there: `ProcessLookupError`", "self",
         lambda m, pid: m.proc_getrlimit(0, m.RLIMIT_NOFILE), ESRCH, linux_only=True),
    Fact("proc_setrlimit", "any other value raises `OSError` with errno EOPNOTSUPP", "child",
         lambda m, pid: m.proc_setrlimit(pid, m.RLIMIT_NPTS, 5, 5), Raises(OSError, errno.EOPNOTSUPP),
         linux_only=True),
    Fact("proc_setrlimit", "can be set only to `RLIM_INFINITY` (what they hold)", "child",
         lambda m, pid: m.proc_setrlimit(pid, m.RLIMIT_SWAP, m.RLIM_INFINITY, m.RLIM_INFINITY),
         Gives(lambda v: v is None, "None"), linux_only=True),
    # Figures the host does not keep, and Linux's units.
    Fact("cpu_stats", "`syscalls` `[3]` is always 0", "self", lambda m, pid: m.cpu_stats()[3],
         Gives(lambda v: v == 0, "0"), linux_only=True),
    Fact("virtual_mem", "`shared` `[7]` is always 0", "self", lambda m, pid: m.virtual_mem()[7],
         Gives(lambda v: v == 0, "0"), linux_only=True),
    Fact("virtual_mem", "`cached` `[5]` is 0", "self", lambda m, pid: m.virtual_mem()[5],
         Gives(lambda v: v == 0, "0")),
    Fact("pids", "pid 0 is not listed", "self", lambda m, pid: 0 in m.pids(),
         Gives(lambda v: v is False, "without 0"), linux_only=True),
    Fact("cpu_times", "the clock ticks 128 times a second", "self",
         lambda m, pid: (user_jiffies(), m.cpu_times()[0], user_jiffies()),
         Gives(lambda v: v[0] - 0.05 <= v[1] <= v[2] + 0.05, "the host's user seconds"), linux_only=True),
    Fact("disk_io_counters", '(vda → "vd0", sdb → "sd1")', "self",
         lambda m, pid: ({block_name(n) for n in os.listdir("/sys/block")} - {None}) - set(m.disk_io_counters()),
         Gives(lambda v: v == set(), "every sd/vd/hd/xvd disk under its FreeBSD name"), linux_only=True),
    Fact("proc_cpu_affinity_set", "checked before the process is looked up, so also for a zombie or a missing pid",
         "gone", lambda m, pid: m.proc_cpu_affinity_set(pid, []), Raises(OSError, errno.EDEADLK, origin=False)),
    Fact("proc_cpu_affinity_set", "checked before the process is looked up, so also for a zombie or a missing pid",
         "zombie", lambda m, pid: m.proc_cpu_affinity_set(pid, []), Raises(OSError, errno.EDEADLK, origin=False)),
    Fact("proc_cpu_affinity_set", "also one naming only CPUs the machine lacks", "child",
         lambda m, pid: m.proc_cpu_affinity_set(pid, [os.cpu_count() + 1]), Raises(OSError, errno.EINVAL, origin=False)),
    Fact("proc_priority_get", "or is a thread id", "thread", lambda m, pid: m.proc_priority_get(pid), ESRCH),
    Fact("Conventions", "and so does a thread id given where a process id is asked", "thread",
         lambda m, pid: m.proc_cpu_affinity_get(pid), ESRCH),
    Fact("Conventions", "and so does a thread id given where a process id is asked", "thread",
         lambda m, pid: m.proc_cmdline(pid), ESRCH),
    Fact("proc_num_fds", "For the calling process it counts exactly its own descriptors and those records", "self",
         lambda m, pid: m.proc_num_fds(pid) - (len(os.listdir("/proc/self/fd")) - 1),
         Gives(lambda v: v in (3, 4), "its descriptors and the text, cwd and root (and terminal) records"),
         linux_only=True),
]


@pytest.fixture
def state_pid():
    """Makes the state a fact is about; yields its pid."""
    made = []

    def make(state):
        if state == "self":
            return os.getpid()
        if state == "gone":
            return gone_pid()
        if state == "child":
            made.append(sleeping_child())
            return made[-1].pid
        if state == "zombie":
            context = zombie()
            pid = context.__enter__()
            made.append(context)
            return pid
        if state == "thread":  # a thread of this process: its id is no process id
            started, stop = threading.Event(), threading.Event()
            ids = []
            thread = threading.Thread(target=lambda: (ids.append(threading.get_native_id()), started.set(),
                                                      stop.wait()))
            thread.start()
            started.wait()
            made.append((thread, stop))
            return ids[0]
        raise AssertionError(state)

    yield make
    for thing in made:
        if isinstance(thing, subprocess.Popen):
            thing.kill()
            thing.wait()
        elif isinstance(thing, tuple):
            thing[1].set()
            thing[0].join()
        else:
            thing.__exit__(None, None, None)


def entry_text(name):
    """The words of one entry of the reference (or of its Conventions),
    generated tables left out, line breaks as spaces."""
    text = read_text(reference.REFERENCE)
    heading = "## Conventions" if name == "Conventions" else f"### {name}"
    start = text.index(heading + "\n")
    following = re.search(r"^##", text[start + len(heading):], re.M)
    body = text[start:start + len(heading) + following.start()] if following else text[start:]
    body = reference.BLOCK.sub("", body)
    return " ".join(body.split())


@pytest.mark.parametrize("fact", FACTS, ids=lambda f: f"{f.entry}: {f.says[:40]}")
def test_the_reference_states_what_the_module_does(norvik, fact, state_pid):
    assert fact.says in entry_text(fact.entry), f"the {fact.entry} entry no longer says {fact.says!r}"
    if fact.linux_only and not ON_LINUX:
        pytest.skip("a fact of the Linux host")
    if fact.as_root and os.getuid() != 0:
        pytest.skip("another user's process is made by running as root")
    pid = state_pid(fact.state)
    try:
        outcome = fact.call(norvik, pid)
    except BaseException as exc:  # compared with the documented outcome below
        outcome = exc
    fact.outcome.check(outcome)


def test_a_wrong_statement_fails_the_table():
    # The statement this reference once made, and the one it makes.
    wrong = Fact("proc_setrlimit", "EINVAL for a soft limit above the hard one", "child",
                 lambda m, pid: None, Raises(OSError, errno.EINVAL))
    assert wrong.says not in entry_text("proc_setrlimit")
    with pytest.raises(AssertionError):
        wrong.outcome.check(None)
    with pytest.raises(AssertionError):
        Raises(ProcessLookupError, origin=False).check(ProcessLookupError(3, "No such process (originated from x)"))
    with pytest.raises(AssertionError):
        Gives(lambda v: v == 19, "19").check(20)


def test_fields_are_numbered_from_zero_and_every_entry_is_in_the_contents():
    text = read_text(reference.REFERENCE)
    block = reference.BLOCK.search(text.split("### proc_oneshot_info")[1]).group(0)
    rows = [line for line in block.splitlines() if line.startswith("| ") and "`" in line]
    assert rows[0].startswith("| 0 | `ppid` |") and rows[18].startswith("| 18 | `rss` |")
    contents = reference.CONTENTS.search(text).group(0)
    for name in STUB.functions:
        assert f"[{name}](#{name})" in contents, name
    for level, title in reference.HEADING.findall(reference.CONTENTS.sub("", text)):
        if title != "Contents":
            assert f"(#{reference.anchor(title)})" in contents, title
