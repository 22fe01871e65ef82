"""Children in known states for the per-process tests: a Python child that
builds some state (threads, files, mappings) and waits, a zombie, a process
of user nobody, a process with a controlling terminal, a pid that no longer
exists."""
import contextlib
import fcntl
import os
import subprocess
import sys
import termios
import time

NOBODY = 65534


class Child:
    """A Python child that runs `setup` (code), prints READY and the repr of
    the variable `report` if set, then waits until its stdin closes."""

    def __init__(self, setup="", argv_extra=(), env=None, cwd=None, preexec_fn=None, executable=None):
        code = (
            "import os, sys\n"
            "report = None\n"
            + setup
            + "\nsys.stdout.write('READY ' + repr(report) + '\\n'); sys.stdout.flush()\n"
            "sys.stdin.read()\n"
        )
        argv = [executable or sys.executable, "-c", code, *argv_extra]
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, cwd=cwd,
                                     preexec_fn=preexec_fn)
        line = self.proc.stdout.readline().decode()
        assert line.startswith("READY"), f"child did not start: {line!r}"
        import ast
        self.report = ast.literal_eval(line[6:].strip())
        self.pid = self.proc.pid
        self.argv = argv

    def close(self):
        with contextlib.suppress(Exception):
            self.proc.stdin.close()
        self.proc.wait(timeout=30)
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


@contextlib.contextmanager
def zombie():
    """A child that has exited and is not reaped yet."""
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    try:
        for _ in range(1000):
            with open(f"/proc/{pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    break
            time.sleep(0.002)
        yield pid
    finally:
        os.waitpid(pid, 0)


def tty_of(pid):
    """The controlling terminal's device number (tty_nr of stat), or 0."""
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[4])


def wchan(pid):
    """Where the process waits in the kernel ("" when it runs)."""
    with open(f"/proc/{pid}/wchan") as f:
        return f.read()


def wait_until_sleeping(pid, timeout=10):
    """Waits for a sleep(1) child to reach its sleep: as it starts, it opens
    and closes locale files, so its descriptors are settled only then."""
    deadline = time.monotonic() + timeout
    while "nanosleep" not in wchan(pid):
        assert time.monotonic() < deadline, "the child never slept"
        time.sleep(0.005)


@contextlib.contextmanager
def terminal_child():
    """A sleeper whose controlling terminal is a new pseudo-terminal that it
    holds on no descriptor; yields (child, terminal's device number, name)."""
    master, slave = os.openpty()
    try:
        device, name = os.fstat(slave).st_rdev, os.ttyname(slave)
        proc = subprocess.Popen(["/bin/sleep", "300"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True,
                                preexec_fn=lambda: (fcntl.ioctl(slave, termios.TIOCSCTTY, 0), os.close(slave)),
                                pass_fds=(slave,))
        try:
            deadline = time.monotonic() + 10
            while tty_of(proc.pid) == 0 or os.readlink(f"/proc/{proc.pid}/exe") != "/usr/bin/sleep":
                assert time.monotonic() < deadline, "the child got no terminal"
                time.sleep(0.005)
            wait_until_sleeping(proc.pid)
            yield proc, device, name
        finally:
            proc.kill()
            proc.wait()
    finally:
        os.close(master)
        os.close(slave)


def rss_kib():
    """This process's resident size in KiB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def swallowing(fn, *args):
    """fn(*args) as a call that passes over any exception: for exercising a
    failure path over and over."""
    def call():
        try:
            fn(*args)
        except Exception:
            pass
    return call


def gone_pid():
    """A pid that no process has: a child that has been reaped."""
    proc = subprocess.Popen(["/bin/true"])
    proc.wait()
    return proc.pid


def as_nobody(fn):
    """Runs fn() in a forked child that has dropped to user nobody; returns
    ('ok', value) or ('raised', exception class name, errno)."""
    import pickle

    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            try:
                outcome = ("ok", fn())
            except BaseException as exc:  # reported to the parent
                outcome = ("raised", type(exc).__name__, getattr(exc, "errno", None))
            os.write(write_end, pickle.dumps(outcome))
        finally:
            os._exit(0)
    os.close(write_end)
    data = b""
    while chunk := os.read(read_end, 65536):
        data += chunk
    os.close(read_end)
    os.waitpid(pid, 0)
    return pickle.loads(data)


def kernel_thread_pid():
    """The pid of a kernel thread (kthreadd on Linux)."""
    for name in sorted(os.listdir("/proc"), key=lambda n: (len(n), n)):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[6]) & 0x00200000:  # PF_KTHREAD
            return int(name)
    raise AssertionError("no kernel thread found")


def state_letter(pid):
    """The state letter of /proc/<pid>/stat."""
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


class FirstThreadGone:
    """A Python child whose first thread has ended (pthread_exit) while
    `threads` others run on, after running `setup` (code); `report` is the
    variable setup may set, `tids` the ids of the threads that run. The host
    shows such a process as a zombie with live threads; FreeBSD as a live
    process."""

    def __init__(self, setup="", threads=2, argv_extra=(), **popen):
        code = (
            "import ctypes, os, sys, threading\n"
            "report = None\n"
            + setup
            + f"\nts = [threading.Thread(target=sys.stdin.read) for _ in range({threads})]\n"
            "[t.start() for t in ts]\n"
            "sys.stdout.write('READY ' + repr((report, [t.native_id for t in ts])) + '\\n')\n"
            "sys.stdout.flush()\n"
            "ctypes.CDLL(None).pthread_exit(None)\n"
        )
        self.argv = [sys.executable, "-c", code, *argv_extra]
        self.proc = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, **popen)
        self.pid = self.proc.pid
        try:
            line = self.proc.stdout.readline().decode()
            assert line.startswith("READY"), f"child did not start: {line!r}"
            import ast
            self.report, self.tids = ast.literal_eval(line[6:].strip())
            # The first thread has ended and the others wait in their reads.
            deadline = time.monotonic() + 10
            while state_letter(self.pid) != "Z" or any(state_letter(f"{self.pid}/task/{tid}") != "S"
                                                       for tid in self.tids):
                assert time.monotonic() < deadline, "the first thread did not end"
                time.sleep(0.005)
        except BaseException:
            self.close()
            raise

    def close(self):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
