"""Calls process functions on children that start, exit and are reaped
under the calls' feet, and checks every outcome.

Each outcome must be a well-formed result (the caller's check says what that
is) or one of the exceptions a vanished process may give: ProcessLookupError,
the module's ZombieProcessError, PermissionError, or OSError with ESRCH.
"""
import errno
import os
import random
import threading
import time

SHORT_LIVED = [
    ["/bin/true"],
    ["/bin/sleep", "0.001"],
    ["/bin/sleep", "0.005"],
    ["/bin/sh", "-c", "exit 3"],
]


def allowed(norvik, exc):
    if isinstance(exc, (ProcessLookupError, PermissionError, norvik.ZombieProcessError)):
        return True
    return isinstance(exc, OSError) and exc.errno == errno.ESRCH


class Reaper(threading.Thread):
    """Reaps children as they exit, at moments the calling thread can't predict."""

    def __init__(self):
        super().__init__(daemon=True)
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            try:
                os.waitpid(-1, 0)
            except ChildProcessError:
                time.sleep(0.0005)


def churn(norvik, calls, rounds=200, seed=1):
    """calls: {name: (fn(pid) -> result, check(pid, result) -> None)}.

    Returns {name: {"ok": n, "raised": n}}; raises AssertionError on a bad
    outcome (a wrong exception, or a result the check refuses)."""
    rng = random.Random(seed)
    tally = {name: {"ok": 0, "raised": 0} for name in calls}
    reaper = Reaper()
    reaper.start()
    try:
        for _ in range(rounds):
            argv = rng.choice(SHORT_LIVED)
            pid = os.posix_spawn(argv[0], argv, os.environ)
            for _ in range(3):
                for name, (fn, check) in calls.items():
                    try:
                        result = fn(pid)
                    except Exception as exc:  # judged below
                        assert allowed(norvik, exc), f"{name}({pid}) raised {exc!r}"
                        tally[name]["raised"] += 1
                    else:
                        check(pid, result)
                        tally[name]["ok"] += 1
                if rng.random() < 0.3:
                    time.sleep(rng.random() * 0.003)
    finally:
        reaper.stop.set()
        # Let the reaper leave its blocking wait.
        os.posix_spawn("/bin/true", ["/bin/true"], os.environ)
        reaper.join(timeout=5)
    return tally
