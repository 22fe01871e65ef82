"""Every per-process detail function on children that start, exit and are
reaped under the calls' feet: each call gives a well-formed answer or one of
the exceptions a vanished process may give, never a crash or a wrong type."""
import os

import pytest

from conftest import SANITIZED
from race_harness import churn


def is_str_list(value):
    return isinstance(value, list) and all(isinstance(v, str) for v in value)


def check_cmdline(pid, result):
    assert is_str_list(result), result


def check_environ(pid, result):
    assert isinstance(result, dict), result
    assert all(isinstance(k, str) and isinstance(v, str) for k, v in result.items())


def check_text(pid, result):
    assert isinstance(result, str), result


def check_threads(pid, result):
    assert isinstance(result, list) and result, result
    for tid, user, system in result:
        assert isinstance(tid, int) and tid > 0
        assert user >= 0.0 and system >= 0.0


def check_open_files(pid, result):
    assert isinstance(result, list)
    for path, fd in result:
        assert isinstance(path, str) and isinstance(fd, int) and fd >= -6


def check_num_fds(pid, result):
    # A live process has at least its root directory record.
    assert isinstance(result, int) and result >= 1, result


def check_maps(pid, result):
    assert isinstance(result, list)
    for row in result:
        addr, perms, path, *counts = row
        assert "-" in addr and addr.startswith(("0", "0x")) and " " not in addr
        assert len(perms) == 3 and isinstance(path, str) and path
        assert len(counts) == 4 and all(isinstance(c, int) for c in counts)


def test_details_of_children_that_come_and_go(norvik):
    calls = {
        "proc_cmdline": (norvik.proc_cmdline, check_cmdline),
        "proc_environ": (norvik.proc_environ, check_environ),
        "proc_exe": (norvik.proc_exe, check_text),
        "proc_cwd": (norvik.proc_cwd, check_text),
        "proc_threads": (norvik.proc_threads, check_threads),
        "proc_open_files": (norvik.proc_open_files, check_open_files),
        "proc_num_fds": (norvik.proc_num_fds, check_num_fds),
        "proc_memory_maps": (norvik.proc_memory_maps, check_maps),
    }
    tally = churn(norvik, calls, rounds=150, seed=4)
    for name, counts in tally.items():
        assert counts["ok"] + counts["raised"] == 450, name
    # The children lived long enough for some calls to see them.
    assert sum(c["ok"] for c in tally.values()) > 0


def test_own_process_while_threads_and_files_churn(norvik, tmp_path):
    # The calling process's own tables change while they are read.
    import threading

    stop = threading.Event()

    def busy():
        path = tmp_path / "f"
        while not stop.is_set():
            with open(path, "wb") as f:
                f.write(b"x")
            t = threading.Thread(target=lambda: None)
            t.start()
            t.join()

    workers = [threading.Thread(target=busy) for _ in range(2)]
    for w in workers:
        w.start()
    try:
        pid = os.getpid()
        for _ in range(200):
            check_open_files(pid, norvik.proc_open_files(pid))
            check_threads(pid, norvik.proc_threads(pid))
            check_maps(pid, norvik.proc_memory_maps(pid))
            check_num_fds(pid, norvik.proc_num_fds(pid))
    finally:
        stop.set()
        for w in workers:
            w.join()


@pytest.mark.skipif(SANITIZED, reason="ASan's quarantine grows the resident size by design")
def test_no_memory_left_behind(norvik):
    # Every array, buffer and handle of a call is released, on failures too:
    # after a warm-up, thousands more calls do not grow the process.
    import subprocess

    from proc_children import gone_pid

    def resident_pages():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1])

    proc = subprocess.Popen(["/bin/sleep", "60"])
    missing = gone_pid()
    fns = [norvik.proc_cmdline, norvik.proc_environ, norvik.proc_exe, norvik.proc_cwd, norvik.proc_threads,
           norvik.proc_open_files, norvik.proc_num_fds, norvik.proc_memory_maps]
    try:
        def calls(fn, times):
            for _ in range(times):
                fn(proc.pid)
                try:
                    fn(missing)
                except OSError:
                    pass

        for fn in fns:
            calls(fn, 2500)  # the allocators settle
            before = resident_pages()
            calls(fn, 2000)
            assert resident_pages() - before < 16, fn
    finally:
        proc.kill()
        proc.wait()
