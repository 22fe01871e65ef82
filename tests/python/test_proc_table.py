"""The process table: pids() against /proc listed here and ps, the zombie
test on real zombies and on processes that only look like one, the pid range
check; the scripted kernel for table answers this machine can't give."""
import errno
import os
import resource
import subprocess
import sys
import threading

import pytest

from norvik_bsd_testing.proc_records import KINFO_PROC_SIZE as SIZE, kinfo_proc
from proc_children import Child, as_nobody, gone_pid, kernel_thread_pid, zombie


def listed_pids():
    return {int(name) for name in os.listdir("/proc") if name.isdigit()}


def test_pids_against_proc_and_ps(norvik):
    children = [subprocess.Popen(["/bin/sleep", "300"]) for _ in range(20)]
    try:
        before = listed_pids()
        table = norvik.pids()
        after = listed_pids()
        by_ps = {int(v) for v in subprocess.run(["ps", "-e", "-o", "pid="], capture_output=True, text=True,
                                                 check=True).stdout.split()}
        assert all(type(pid) is int for pid in table)
        assert len(table) == len(set(table))
        # Whatever lived through both listings is in the table, and the table
        # holds nothing that was in neither.
        assert before & after <= set(table)
        assert set(table) <= before | after
        assert {child.pid for child in children} | {os.getpid(), 1} <= set(table)
        assert (before & after & by_ps) <= set(table)
    finally:
        for child in children:
            child.kill()
            child.wait()


def test_pids_whole_when_no_thread_can_be_started(norvik):
    """The table is built on helper threads where they can be had; a caller
    whose user is at its process limit gets the whole table all the same."""
    def table_at_the_limit():
        resource.setrlimit(resource.RLIMIT_NPROC, (0, 0))
        try:
            threading.Thread(target=lambda: None).start()
            return "a thread could still be started"
        except RuntimeError:
            pass
        return listed_pids(), norvik.pids(), listed_pids()

    children = [subprocess.Popen(["/bin/sleep", "300"]) for _ in range(40)]
    try:
        outcome = as_nobody(table_at_the_limit)
        assert outcome[0] == "ok" and isinstance(outcome[1], tuple), outcome
        before, table, after = outcome[1]
        assert before & after <= set(table) <= before | after
        assert {child.pid for child in children} | {1} <= set(table)
    finally:
        for child in children:
            child.kill()
            child.wait()


def test_pids_lists_processes_not_threads(norvik):
    setup = ("import threading\nev = threading.Event()\n"
             "ts = [threading.Thread(target=ev.wait, daemon=True) for _ in range(3)]\n"
             "[t.start() for t in ts]\nreport = [t.native_id for t in ts]\n")
    with Child(setup) as child:
        table = set(norvik.pids())
        assert child.pid in table
        assert not set(child.report) & table


def test_pids_ignores_arguments(norvik):
    assert os.getpid() in norvik.pids(1, "two", None)


def test_pids_of_a_gone_process(norvik):
    assert gone_pid() not in norvik.pids()


def test_zombie_test(norvik):
    with zombie() as pid:
        assert norvik.proc_is_zombie(pid) is True
        assert pid in norvik.pids()
    assert norvik.proc_is_zombie(pid) is False  # reaped now
    assert norvik.proc_is_zombie(os.getpid()) is False
    assert norvik.proc_is_zombie(kernel_thread_pid()) is False
    assert norvik.proc_is_zombie(gone_pid()) is False
    assert norvik.proc_is_zombie(-1) is False
    assert norvik.proc_is_zombie(0) is False


def test_zombie_test_as_another_user(norvik):
    with zombie() as pid:
        assert as_nobody(lambda: norvik.proc_is_zombie(pid)) == ("ok", True)
    assert as_nobody(lambda: norvik.proc_is_zombie(1)) == ("ok", False)


def test_check_pid_range(norvik):
    assert norvik.check_pid_range(0) is None
    assert norvik.check_pid_range(2 ** 31 - 1) is None
    with pytest.raises(ValueError, match="pid must be a positive integer"):
        norvik.check_pid_range(-1)
    with pytest.raises(OverflowError):
        norvik.check_pid_range(2 ** 31)
    with pytest.raises(OverflowError):
        norvik.check_pid_range(-2 ** 31 - 1)


# The kernel as scripted.

def test_pids_keep_the_kernels_order(norvik, kernel):
    """FreeBSD walks its table in pid-hash order, and proc0 (pid 0, the
    kernel's threads) is part of it."""
    table = (9, 0, 3, 700000, 1, 4100)
    kernel.answer("kern.proc.proc.0", b"".join(kinfo_proc(ki_pid=pid) for pid in table))
    assert norvik.pids() == list(table)
    assert norvik.proc_is_zombie(0) is False


def test_pids_ignore_a_trailing_part_record(norvik, kernel):
    kernel.answer("kern.proc.proc.0", kinfo_proc(ki_pid=4) + kinfo_proc(ki_pid=5)[:SIZE // 2])
    assert norvik.pids() == [4]


@pytest.mark.parametrize("answer", [b"", b"\0" * (SIZE - 1)])
def test_empty_table(norvik, kernel, answer):
    kernel.answer("kern.proc.proc.0", answer)
    with pytest.raises(RuntimeError, match="no PIDs found"):
        norvik.pids()


def test_table_read_failure(norvik, kernel):
    kernel.fail("kern.proc.proc.0", errno.EIO)
    with pytest.raises(OSError) as raised:
        norvik.pids()
    assert raised.value.errno == errno.EIO


def test_table_that_grows_between_size_and_read(norvik, kernel):
    kernel.grow("kern.proc.proc.0", 2)
    assert os.getpid() in norvik.pids()
    assert kernel.count("kern.proc.proc.0", 1) == 3


def test_zombie_test_reads_the_state(norvik, kernel):
    pid = os.getpid()
    kernel.answer(f"kern.proc.pid.{pid}", kinfo_proc(ki_pid=pid, ki_stat=5))
    assert norvik.proc_is_zombie(pid) is True
    kernel.fail(f"kern.proc.pid.{pid}", errno.EPERM)
    assert norvik.proc_is_zombie(pid) is False
    # Nothing is left behind by the failed lookup.
    assert norvik.proc_is_zombie(pid) is False
    assert sys.exc_info() == (None, None, None)
