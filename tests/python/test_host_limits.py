"""A failure of the host is never an answer: with no descriptor or address
space to spare, every function either answers as it does without the limit
or raises OSError (MemoryError when memory runs out). A process called gone
while it lives, a table shorter than the host's, an empty list, or a change
done to some threads only, fails; so does a child that ends by a signal or
by the C library's exit when memory runs out.
"""
import errno
import os

import pytest

from host_limits import outcome_of, run_limited
from module_calls import CALLS, Target
from conftest import SANITIZED, run_python

# Under the sanitizer's runtime the limits meet the runtime itself (its shadow
# memory and its own descriptors), not the module: a limited child hangs there.
pytestmark = pytest.mark.skipif(SANITIZED, reason="the sanitizer's runtime needs the descriptors and address space these limits take away")

LIMITS = [
    ("0 free descriptors", {"free_fds": 0}),
    ("1 free descriptor", {"free_fds": 1}),
    ("2 free descriptors", {"free_fds": 2}),
    # Just above what is mapped: the module's allocations, the host's and
    # the helper threads' stacks fail, while the interpreter's small objects
    # still come from the pools it has.
    ("address space", {"address_space_slack": 256 * 1024}),
]


# Address-space limits from just above what the child has mapped, upward:
# in the first half MiB, steps finer than the span in which the module's,
# the stand-in's and the host's allocations start to fail (where that span
# lies moves with what the process holds); around 8 MiB a helper thread's
# stack fits and little beside it; around twice that, helper threads start
# under the limit.
SCAN_SLACKS = [k * (40 << 10) for k in range(13)] + [1 << 20, 8208 << 10, 8256 << 10, 18 << 20, 20 << 20]

# For the calls whose tables are built on helper threads, in a process that
# makes its first call under the limit: the first half MiB, and where a
# helper thread's stack just fits, in finer steps (the helper itself must
# not be the one that finds no memory for its own setup).
HELPER_SLACKS = [k * (16 << 10) for k in range(32)] + [(8 << 20) + k * (4 << 10) for k in range(44)]
HELPER_CALLS = [c for c in CALLS if c.name in ("pids", "net_connections")]

# The child on one CPU (no helper threads) and on every CPU the test has.
CPU_MODES = [("one CPU", min(os.sched_getaffinity(0))), ("all CPUs", None)]


@pytest.fixture(scope="module")
def target():
    made = Target()
    yield made
    made.close()


def forced(call, outcome):
    """The contract's own answer for a failed read, which carries no errno."""
    for answer in call.forced:
        if answer[0] == "ok" and outcome == answer:
            return True
        if answer[0] == "raised" and outcome[0] == "raised" and (outcome[1], outcome[3]) == answer[1:]:
            return True
    return False


def retry_limit(outcome):
    """The allocating sysctl wrappers' answer when every read failed with
    ENOMEM: they take each such failure for a table that grew, as it means
    where memory is not short, and give up after ten reads."""
    return outcome[1] == "RuntimeError" and outcome[3].endswith("buffer allocation retry limit exceeded")


def judge(call, baseline, outcome, target, limit_name):
    where = f"{call.name} with {limit_name}"
    assert outcome[0] != "died", f"{where}: the child {outcome[1]}"
    if forced(call, outcome):
        return
    if outcome[0] == "raised":
        name, err, message, is_oserror = outcome[1:]
        if baseline[0] == "raised" and baseline[1] == name:
            return  # the same answer as without the limit
        if limit_name.startswith("address space") and (name == "MemoryError" or retry_limit(outcome)):
            return  # the interpreter's own allocation failed, or a read's
        assert is_oserror, f"{where}: {name}: {message}"
        assert name != "ProcessLookupError" and err != errno.ESRCH, f"{where}: a live process called gone: {message}"
        assert err is not None and err != 0, f"{where}: {name} without the host's errno: {message}"
        return
    assert baseline[0] == "ok", f"{where}: succeeded where the unlimited call raised {baseline}"
    try:
        call.compare(baseline[1], outcome[1], target)
    except AssertionError as exc:
        raise AssertionError(f"{where}: {exc}") from None


def test_the_table_holds_every_function(norvik):
    registered = {name for name in dir(norvik)
                  if not name.startswith("_") and callable(getattr(norvik, name))
                  and not isinstance(getattr(norvik, name), type)}
    # The test build's scripted-kernel hook is no function of the module.
    registered.discard("_script")
    assert registered == {call.name for call in CALLS}
    assert len(CALLS) == 46


@pytest.mark.parametrize("call", CALLS, ids=[c.name for c in CALLS])
def test_answer_or_oserror_under_limits(norvik, target, call):
    fn = getattr(norvik, call.name)
    if call.change is not None:
        for n, (limit_name, limit) in enumerate([("no limit", None)] + LIMITS):
            args, before = call.change.prepare(target, n)
            if limit is None:
                outcome = outcome_of(lambda: fn(*args))
                assert outcome == ("ok", None), outcome
            else:
                outcome = run_limited(lambda: fn(*args), **limit)
                judge(call, ("ok", None), outcome, target, limit_name)
            call.change.verify(target, before, args, outcome[0] == "ok")
        return
    args = call.args(target)
    baseline = outcome_of(lambda: fn(*args))
    assert baseline[0] == "ok" or not baseline[4] or call.name.startswith(("cpu_freq", "sensors")), baseline
    for limit_name, limit in LIMITS:
        judge(call, baseline, run_limited(lambda: fn(*args), **limit), target, limit_name)


def unlimited_baseline(fn, call, target):
    args = call.args(target)
    baseline = outcome_of(lambda: fn(*args))
    assert baseline[0] == "ok" or not baseline[4] or call.name.startswith(("cpu_freq", "sensors")), baseline
    return args, baseline


@pytest.mark.parametrize("cpu_mode", CPU_MODES, ids=[m[0].replace(" ", "_") for m in CPU_MODES])
@pytest.mark.parametrize("call", CALLS, ids=[c.name for c in CALLS])
def test_memory_exhaustion_never_ends_the_process(norvik, target, call, cpu_mode):
    """Under every address-space limit of the scan, on one CPU and on all,
    the call answers as it does without a limit, or raises MemoryError or
    OSError: never a signal, never an exit of the C library."""
    fn = getattr(norvik, call.name)
    cpu_name, cpu = cpu_mode
    if call.change is None:
        args, baseline = unlimited_baseline(fn, call, target)
    for n, slack in enumerate(SCAN_SLACKS, start=1):
        limit_name = f"address space {slack >> 10} KiB above the mapped size on {cpu_name}"
        if call.change is None:
            judge(call, baseline, run_limited(lambda: fn(*args), address_space_slack=slack, cpu=cpu),
                  target, limit_name)
            continue
        args, before = call.change.prepare(target, n)
        outcome = run_limited(lambda: fn(*args), address_space_slack=slack, cpu=cpu)
        judge(call, ("ok", None), outcome, target, limit_name)
        call.change.verify(target, before, args, outcome[0] == "ok")


# A fresh interpreter: one that has run a threaded call before keeps what
# its helper threads left behind (their stacks, the allocator's arenas),
# which its forked children inherit and which would hide the failure.
HELPER_SCAN = """
import sys
sys.path.insert(0, {here!r})
import _norvik_bsd as norvik
from host_limits import run_limited
fn = getattr(norvik, {name!r})
args = {args!r}
for slack in {slacks!r}:
    outcome = run_limited(lambda: fn(*args), address_space_slack=slack)
    print(slack >> 10, repr(outcome[:1] if outcome[0] == "ok" else outcome))
"""


def plain(value):
    """Arguments as plain ints and tuples (socket's enums have no literal)."""
    if isinstance(value, tuple):
        return tuple(plain(v) for v in value)
    return int(value) if isinstance(value, int) else value


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="helper threads need a second CPU")
@pytest.mark.parametrize("call", HELPER_CALLS, ids=[c.name for c in HELPER_CALLS])
def test_memory_exhaustion_beside_helper_threads(target, call):
    """A table built on helper threads, in a process that never started
    one before, under limits where a helper's stack just fits: an answer,
    MemoryError or OSError, never a signal or the C library's exit."""
    code = HELPER_SCAN.format(here=os.path.dirname(os.path.abspath(__file__)), name=call.name,
                              args=plain(call.args(target)), slacks=HELPER_SLACKS)
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    for line in done.stdout.splitlines():
        kib, outcome = line.split(" ", 1)
        outcome = eval(outcome)  # a repr of str, int and bool values
        where = f"{call.name} with address space {kib} KiB above the mapped size on all CPUs"
        assert outcome[0] != "died", f"{where}: the child {outcome[1]}"
        if outcome[0] == "raised":
            assert outcome[1] == "MemoryError" or (outcome[4] and outcome[2]) or retry_limit(outcome), \
                f"{where}: {outcome}"
