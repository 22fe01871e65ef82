"""A failure of the host is never an answer: with no descriptor or address
space to spare, every function either answers as it does without the limit
or raises OSError. A process called gone while it lives, a table shorter
than the host's, an empty list, or a change done to some threads only, fails.
"""
import errno

import pytest

from host_limits import outcome_of, run_limited
from module_calls import CALLS, Target
from conftest import SANITIZED

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


def judge(call, baseline, outcome, target, limit_name):
    where = f"{call.name} with {limit_name}"
    if forced(call, outcome):
        return
    if outcome[0] == "raised":
        name, err, message, is_oserror = outcome[1:]
        if baseline[0] == "raised" and baseline[1] == name:
            return  # the same answer as without the limit
        if limit_name == "address space" and name == "MemoryError":
            return  # the interpreter's own allocation failed
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
