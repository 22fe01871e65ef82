"""The module-cost benchmark's floor builds what the module builds: over the
same small FreeBSD record sets, scripted for the module and handed to the
floor as bytes, the two answers are equal (a floor that built less, or other
objects, would time less than the module's work)."""
import glob
import importlib.machinery
import importlib.util
import os
import sys

import pytest

from conftest import BUILD

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import module_cost_sets as sets  # noqa: E402

SMALL = [sets.oneshot()] + [make(10 if size < 1000 else 12) for make, size in sets.TABLES]


@pytest.fixture(scope="module")
def floor():
    found = glob.glob(os.path.join(BUILD, "bench", "_norvik_floor_cost*.so"))
    assert found, "the floor extension is built with the tests"
    loader = importlib.machinery.ExtensionFileLoader("_norvik_floor_cost", found[0])
    return loader.create_module(importlib.util.spec_from_loader("_norvik_floor_cost", loader))


@pytest.mark.parametrize("records", SMALL, ids=[r.label for r in SMALL])
def test_floor_builds_the_modules_answer(norvik, kernel, floor, records):
    sets.answer_all(kernel, records)
    ours = records.call(norvik)
    assert ours and records.floor(floor) == ours
