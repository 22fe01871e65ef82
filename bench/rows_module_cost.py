"""The module's own cost, as FreeBSD users meet it: the scripted kernel answers
ready-made FreeBSD records (no host is read), so what is timed is one kernel
answer copied out, the module's walk of the records and the Python objects it
builds. Beside each row, the floor: the same result built in C++ from the same
records already in memory (bench/floor_module_cost.cpp). Each table is timed
at a tenth of its size too, to show how the cost grows.

Needs the test build (the scripted module and the floor extension); without
it the section is left out."""
import glob
import importlib.machinery
import importlib.util
import os
import time

from run import Row

import module_cost_sets as sets
from norvik_bsd_testing import Kernel

# Each row's calls take about this long per repeat.
REPEAT_NS = 40e6


def build_dir():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    return os.environ.get("NORVIK_BUILD_DIR", os.path.join(here, "build"))


def load_extension(name, pattern):
    """An extension module from the build, kept out of sys.modules (the
    scripted module shares its import name with the release one)."""
    found = glob.glob(os.path.join(build_dir(), pattern))
    if not found:
        return None
    loader = importlib.machinery.ExtensionFileLoader(name, found[0])
    module = loader.create_module(importlib.util.spec_from_loader(name, loader))
    module.__file__ = found[0]
    return module


def calls_for(fn):
    start = time.perf_counter_ns()
    fn()
    return max(3, int(REPEAT_NS / max(time.perf_counter_ns() - start, 1)))


def rows(norvik):
    scripted = load_extension("_norvik_bsd", os.path.join("scripted", "_norvik_bsd*.so"))
    floor = load_extension("_norvik_floor_cost", os.path.join("bench", "_norvik_floor_cost*.so"))
    if scripted is None or floor is None:
        return
    kernel = Kernel(scripted)
    plan = [(sets.oneshot(), None)]
    for make, size in sets.TABLES:
        small = make(size // 10)
        plan += [(small, None), (make(size), (f"{small.label} [scripted]", size / (size // 10)))]
    try:
        for records, grows_from in plan:
            kernel.reset()
            sets.answer_all(kernel, records)
            call = lambda r=records: r.call(scripted)
            floor_call = lambda r=records: r.floor(floor)
            calls_for(call)  # the first call warms the allocator's pools
            yield Row(f"{records.label} [scripted]", call=call, floor_call=floor_call, grows_from=grows_from,
                      calls=calls_for(call))
    finally:
        kernel.reset()
