"""The soak's verdict: a call that keeps memory fails it, one step of an
allocator's own does not."""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

import soak  # noqa: E402


@pytest.mark.parametrize("halves, leak", [
    ((0, 0), False),
    ((600, 4), False),     # one new arena, then flat
    ((4, 600), False),
    ((200, 200), True),    # steady growth past the bound
    ((100, 100), False),   # within the bound
])
def test_growth_in_both_halves_is_a_leak(halves, leak):
    assert soak.kept_memory(halves, soak.GROWTH_BOUND_KIB) is leak


def test_a_call_that_keeps_memory_fails_the_soak():
    kept = []
    # About 2 µs of work a call keeps 32 bytes: tens of megabytes in the run.
    calls, _, halves = soak.soak([lambda: (kept.append(bytes(32)), sum(range(200)))], seconds=1.0, warmup=0.2)
    assert calls > 0 and soak.kept_memory(halves, soak.GROWTH_BOUND_KIB), halves
