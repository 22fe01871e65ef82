"""The scripted FreeBSD kernel: what a test tells the scripted build to answer.

A Kernel answers kernel nodes ("kern.proc.pid.1234", "hw.ncpu") and library
calls ("kinfo_getfile.1234", "getifaddrs") with bytes, usually records from
the builders of this package; fails them with an errno; makes a table grow
between the size question and the read; and counts what was asked. A key
ending in ".*" covers every key below it ("kern.proc.*"); the exact key wins.

Scripted answers go through the stand-in's own rules, as the kernel's do: a
size question answers the answer's length (with the kernel's slack for the
tables that have it, see SLACK), a read into a buffer shorter than the answer
copies what fits and fails with ENOMEM, and the module's size-allocate-read
loop meets them exactly as it meets the kernel's.
"""
import errno as _errno
import os
import re
import sys
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from . import proc_records as _proc
from ._control import ANY, CALL, READ, SIZE, WRITE, KernelScript

ALWAYS = -1
# The terminal device number a process with a controlling terminal gets
# unless ki_tdev says otherwise.
CTTY_DEV = 0x5B
_KINDS: Dict[Any, int] = {"size": SIZE, "read": READ, "write": WRITE, "call": CALL, None: ANY,
                          SIZE: SIZE, READ: READ, WRITE: WRITE, CALL: CALL}


def _records(data: bytes, head: int, size: int) -> int:
    return max(0, (len(data) - head) // size)


def _proc_slack(data: bytes) -> int:
    # sysctl_kern_proc: "overestimate by 5 procs".
    return len(data) + 5 * _proc.KINFO_PROC_SIZE


def _inet_slack(record: int) -> Callable[[bytes], int]:
    # tcp_pcblist / udp_pcblist: the count plus an eighth, at least 10 more.
    def size(data: bytes) -> int:
        n = _records(data, 2 * 64, record)
        return 2 * 64 + (n + max(n // 8, 10)) * record
    return size


def _unix_slack(data: bytes) -> int:
    # unp_pcblist: the count plus an eighth.
    n = _records(data, 2 * 32, 904)
    return 2 * 32 + (n + n // 8) * 904


def _file_slack(data: bytes) -> int:
    # sysctl_kern_file counts descriptor table slots, which outnumber the
    # open descriptors.
    n = len(data) // 128
    return (n + max(n // 10, 1)) * 128


# The tables whose size answer is larger than their data, as FreeBSD sizes them.
SLACK: List[Tuple["re.Pattern[str]", Callable[[bytes], int]]] = [
    (re.compile(r"kern\.proc\.(proc|all|pid_td|pgrp|session|tty|uid|ruid|gid|rgid)\.\d+$"), _proc_slack),
    (re.compile(r"kern\.proc\.(proc|all)$"), _proc_slack),
    (re.compile(r"net\.inet\.tcp\.pcblist$"), _inet_slack(744)),
    (re.compile(r"net\.inet\.udp\.pcblist$"), _inet_slack(400)),
    (re.compile(r"net\.local\.(stream|dgram|seqpacket)\.pcblist$"), _unix_slack),
    (re.compile(r"kern\.file$"), _file_slack),
]


def kernel_size(key: str, data: bytes) -> int:
    """The size the kernel answers for this key's data."""
    for pattern, size in SLACK:
        if pattern.match(key):
            return size(data)
    return len(data)


class Process:
    """One scripted process: its record and every table about it, answered
    together (kern.proc.pid, its row of kern.proc.proc, kern.proc.pid_td,
    kern.proc.args, kern.proc.pathname, kinfo_getfile, kinfo_getvmmap,
    kvm_getenvv). Made by Kernel.process()."""

    def __init__(self, kernel: "Kernel", pid: int):
        self.kernel = kernel
        self.pid = pid
        self.fields: Dict[str, Any] = {}
        self.thread_fields: Optional[List[Mapping[str, Any]]] = None
        self.argv: Sequence[Any] = ()
        self.path: Any = ""
        self.files: Optional[List[bytes]] = None
        self.cwd: Any = "/"
        self.root: Any = "/"
        self.ctty: Any = None
        self.maps: List[bytes] = []
        self.environ: Mapping[str, str] = {}
        self.state = "live"  # "live", "zombie" or "gone"

    # What the process answers. -------------------------------------------
    def record(self) -> bytes:
        if self.state == "zombie":
            fields = {k: v for k, v in self.fields.items()
                      if k not in ("ki_size", "ki_rssize", "ki_tsize", "ki_dsize", "ki_ssize", "ki_stat")}
            return _proc.zombie(self.pid, **fields)
        return _proc.kinfo_proc(self.pid, **self.fields)

    def keys(self) -> List[str]:
        pid = self.pid
        return [f"kern.proc.pid.{pid}", f"kern.proc.pid_td.{pid}", f"kern.proc.args.{pid}",
                f"kern.proc.pathname.{pid}", f"kinfo_getfile.{pid}", f"kinfo_getvmmap.{pid}",
                f"kvm_getenvv.{pid}", f"kern.proc.rlimit.{pid}.*", f"cpuset_getaffinity.{pid}",
                f"getpriority.{pid}"]

    def _publish(self) -> None:
        k, pid = self.kernel, self.pid
        if self.state == "gone":
            for key in self.keys():
                k.fail(key, _errno.ESRCH)
            return
        record = self.record()
        k.answer(f"kern.proc.pid.{pid}", record)
        if self.state == "zombie":
            # A zombie keeps its saved arguments (p_args) and loses its
            # path, its descriptors and its address space; the calls that
            # need a live process (pfind, PGET_NOTWEXIT) no longer find it.
            k.answer(f"kern.proc.pid_td.{pid}", record)
            k.answer(f"kern.proc.pathname.{pid}", _proc.pathname(""))
            k.answer(f"kern.proc.args.{pid}", _proc.args(*self.argv))
            for key in (f"kinfo_getfile.{pid}", f"kinfo_getvmmap.{pid}", f"kvm_getenvv.{pid}",
                        f"kern.proc.rlimit.{pid}.*", f"cpuset_getaffinity.{pid}", f"getpriority.{pid}"):
                k.fail(key, _errno.ESRCH)
            return
        per_thread = self.thread_fields if self.thread_fields is not None else [{}]
        k.answer(f"kern.proc.pid_td.{pid}", _proc.threads(pid, per_thread, **self.fields))
        k.answer(f"kern.proc.args.{pid}", _proc.args(*self.argv))
        k.answer(f"kern.proc.pathname.{pid}", _proc.pathname(self.path))
        k.answer(f"kinfo_getfile.{pid}", _proc.file_table(self.files or (), text=self.path or None,
                                                           cwd_path=self.cwd, root_path=self.root,
                                                           ctty_path=self.ctty))
        k.answer(f"kinfo_getvmmap.{pid}", b"".join(self.maps))
        k.answer(f"kvm_getenvv.{pid}", b"".join(f"{n}={v}".encode() + b"\0" for n, v in self.environ.items()))

    # Changes of state. --------------------------------------------------
    def vanish(self, after: Optional[str] = None, calls: int = 1) -> "Process":
        """The process exits and is reaped: it leaves kern.proc.proc, and
        every question about it fails with ESRCH. With `after`, that happens
        once the module's function of that name has returned `calls` times
        (a process that exits between pids() and proc_oneshot_info())."""
        return self._change("gone", after, calls)

    def become_zombie(self, after: Optional[str] = None, calls: int = 1, status: int = 0) -> "Process":
        """The process exits and its parent has not reaped it: still in the
        table, SZOMB, with exit status `status` (ki_xstat)."""
        self.fields["ki_xstat"] = status & 0xFFFF
        return self._change("zombie", after, calls)

    def _change(self, state: str, after: Optional[str], calls: int) -> "Process":
        def apply() -> None:
            self.state = state
            self.kernel._republish(self)
        if after is None:
            apply()
        else:
            self.kernel.after_call(after, apply, calls)
        return self


class _CallWatch:
    """Runs actions once a function of the module has returned (or raised)
    a number of times, through the interpreter's profile hook of the thread
    that scripted them (an earlier profile function keeps being called)."""

    def __init__(self, module: Any):
        builtin = type(len)
        self._names = {id(obj): name for name, obj in vars(module).items() if isinstance(obj, builtin)}
        self._pending: List[List[Any]] = []
        self._previous: Any = None
        self._on = False

    def add(self, name: str, action: Callable[[], None], calls: int) -> None:
        if name not in self._names.values():
            raise ValueError(f"_norvik_bsd has no function {name!r}")
        if calls < 1:
            raise ValueError("calls counts returns: 1 or more")
        self._pending.append([name, calls, action])
        if not self._on:
            self._previous = sys.getprofile()
            sys.setprofile(self._profile)
            self._on = True

    def clear(self) -> None:
        self._pending.clear()
        if self._on:
            sys.setprofile(self._previous)
            self._previous = None
            self._on = False

    def _profile(self, frame: Any, event: str, arg: Any) -> None:
        if callable(self._previous):
            self._previous(frame, event, arg)
        if event not in ("c_return", "c_exception"):
            return
        name = self._names.get(id(arg))
        if name is None:
            return
        due = []
        for entry in self._pending:
            if entry[0] == name:
                entry[1] -= 1
                if entry[1] == 0:
                    due.append(entry)
        for entry in due:
            self._pending.remove(entry)
            entry[2]()
        if not self._pending:
            self.clear()


class Kernel:
    """The scripted kernel of the scripted build `module`. Every script
    holds until reset() (which the fixture and scripted_kernel() call before
    and after each use)."""

    def __init__(self, module: Any):
        self.module = module
        self._script = KernelScript(module.__file__)
        self._processes: Dict[int, Process] = {}
        self._kernel_process_made = False
        self._watch = _CallWatch(module)

    # Answers. -----------------------------------------------------------
    def answer(self, key: str, data: Any, size: Optional[int] = None) -> None:
        """The key answers `data` (bytes, a str, or records to join). A size
        question answers `size`, by default what FreeBSD answers for such a
        table (its length, plus the kernel's slack for the tables in SLACK)."""
        if isinstance(data, str):
            data = data.encode()
        elif not isinstance(data, (bytes, bytearray, memoryview)):
            data = b"".join(data)
        data = bytes(data)
        self._script.answer(key, data)
        wanted = kernel_size(key, data) if size is None else size
        self._script.size(key, wanted if wanted != len(data) else -1)

    def answer_all(self, answers: Mapping[str, Any]) -> None:
        for key, data in answers.items():
            self.answer(key, data)

    def fail(self, key: str, errno: int, times: int = ALWAYS, after: int = 0, on: Optional[str] = None) -> None:
        """The key fails with `errno` `times` times (ALWAYS: from now on),
        after letting `after` questions through; `on` limits it to one kind
        of question: "size", "read", "write" or "call" (or SIZE, READ, WRITE,
        CALL; a library call is the only kind that may fail with errno 0)."""
        if on not in _KINDS:
            raise ValueError(f"on is one of size, read, write, call, not {on!r}")
        if on is None and after == 0:
            self._script.fail(key, errno, times)
        else:
            self._script.fail_on(key, errno, _KINDS[on], after, times)

    def grow(self, key: str, times: int = 1) -> None:
        """The table grows between the size question and the read, past the
        room the size answer left: the next `times` reads fail with ENOMEM
        (ALWAYS: every read), and the module asks the size again."""
        self._script.grow(key, times)

    def exhaust(self, key: str, times: int = 1) -> None:
        """The machine runs out of memory: the key's next `times` questions
        (ALWAYS: every one) fail inside the call as an allocation there
        would, and the module reports MemoryError or ENOMEM as it does then."""
        self._script.exhaust(key, times)

    def overreport(self, key: str, on: bool = True) -> None:
        """A misbehaving kernel: a read into a short buffer copies what fits
        and succeeds, reporting the whole length."""
        self._script.overreport(key, on)

    def count(self, key: str, what: str = "read") -> int:
        """How often the exact key was asked: "size", "read", "write" or
        "call" (or SIZE, READ, WRITE, CALL)."""
        if what not in _KINDS or what is None:
            raise ValueError(f"what is one of size, read, write, call, not {what!r}")
        return self._script.count(key, _KINDS[what])

    def set_root(self, path: Any) -> None:
        """The stand-in reads the host's /proc and /sys files under path (a captured tree)."""
        self._script.set_root(path)

    def after_call(self, function: str, action: Callable[[], None], calls: int = 1) -> None:
        """Runs action once the module's `function` has returned (or raised)
        `calls` times, on this thread: the state changes between two calls."""
        self._watch.add(function, action, calls)

    def reset(self) -> None:
        """Forgets every script, process, pending change and count."""
        self._watch.clear()
        self._processes.clear()
        self._kernel_process_made = False
        self._script.reset()

    # Processes. ---------------------------------------------------------
    def process(self, pid: int, *, argv: Optional[Sequence[Any]] = None, path: Any = None,
                files: Optional[Iterable[bytes]] = None, cwd: Any = "/", root: Any = "/", ctty: Any = None,
                maps: Optional[Iterable[bytes]] = None, threads: Optional[Sequence[Mapping[str, Any]]] = None,
                environ: Optional[Mapping[str, str]] = None, **fields: Any) -> Process:
        """A process the scripted kernel knows, with its kinfo_proc fields
        (FreeBSD's names: ki_ppid, ki_uid, ki_comm, ki_rusage...). Its table
        row joins kern.proc.proc, which then lists the scripted processes
        only, after proc0 ("kernel", pid 0), which FreeBSD always lists (a
        script of pid 0 of its own replaces it). argv (default: the command
        name), path (default argv[0] when it is absolute, else
        /usr/bin/<name>), ctty (with ki_tdev CTTY_DEV unless given), files (kinfo_file records of numbered descriptors;
        the text, ctty, cwd and root records are made from path, ctty, cwd
        and root), maps (kinfo_vmentry records; default: the text mapped),
        threads (per-thread fields for kern.proc.pid_td; default one) and
        environ (default empty) answer the other tables, so that nothing
        about the process is asked of the host. Its CPU affinity, priority
        and limits are not scripted here (use answer() or fail())."""
        if pid in self._processes and not (pid == 0 and self._kernel_process_made):
            raise ValueError(f"process {pid} is already scripted")
        self._kernel_process_made = False
        if 0 not in self._processes and pid != 0:
            # The table always holds proc0, the kernel and its threads.
            self.process(0, argv=[], path="", maps=[], ki_ppid=0, ki_comm="kernel",
                         ki_flag=_proc.P_SYSTEM | _proc.P_INMEM, ki_stat=_proc.SSLEEP)
            self._kernel_process_made = True
        proc = Process(self, pid)
        proc.fields = dict(fields)
        if threads is not None:
            proc.fields.setdefault("ki_numthreads", len(threads))
        proc.thread_fields = list(threads) if threads is not None else None
        if argv and "ki_comm" not in fields:
            name = argv[0].encode() if isinstance(argv[0], str) else bytes(argv[0])
            proc.fields["ki_comm"] = name.rsplit(b"/", 1)[-1][:19]
        comm = proc.fields.get("ki_comm", f"proc{pid}")
        comm = comm.decode("utf-8", "surrogateescape") if isinstance(comm, bytes) else comm
        proc.argv = list(argv) if argv is not None else [comm]
        if path is None:
            first = os.fsdecode(proc.argv[0]) if proc.argv else ""
            path = first if first.startswith("/") else f"/usr/bin/{comm}"
        proc.path = path
        proc.cwd, proc.root, proc.ctty = cwd, root, ctty
        if ctty is not None:
            proc.fields.setdefault("ki_flag", _proc.P_INMEM | _proc.P_CONTROLT)
            proc.fields.setdefault("ki_tdev", CTTY_DEV)
        proc.files = list(files) if files is not None else None
        if maps is None:
            maps = [_proc.kinfo_vmentry(0x200000, 0x201000, _proc.KVME_PROT_READ | _proc.KVME_PROT_EXEC,
                                        _proc.KVME_TYPE_VNODE, proc.path)] if proc.path else []
        proc.maps = list(maps)
        proc.environ = dict(environ) if environ is not None else {}
        self._processes[pid] = proc
        self._republish(proc)
        return proc

    def _republish(self, changed: Process) -> None:
        changed._publish()
        self.answer("kern.proc.proc.0", b"".join(proc.record() for proc in self._processes.values()
                                                 if proc.state != "gone"))
