"""make soak: every function of the module called over and over for a few
seconds, with valid arguments and, where it takes a pid or an interface
name, on the failure path of a process that has gone and of an interface
that does not exist (the calls alternate). The resident size after a
warm-up is compared with the size half way and at the end: a function whose
calls keep memory grows in both halves and fails the run. The allocators
may take a block of their own once (a new arena of the interpreter's, a
raised glibc threshold: seen once at about 600 KiB for disk_io_counters);
such a single step lands in one half, and the other half stays flat.

One row per function: calls made, microseconds per call, growth in KiB.
"""
import argparse
import gc
import importlib
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

from module_calls import CALLS, Target  # noqa: E402
from proc_children import gone_pid, rss_kib, swallowing  # noqa: E402

MISSING_INTERFACE = "nvk9-missing0"
INTERFACE_CALLS = {"net_if_flags", "net_if_mtu", "net_if_is_running", "net_if_duplex_speed"}

# A call that kept even 16 bytes would hold 16 bytes times its calls (often
# 10^5 or more, megabytes); a bound of 256 KiB leaves room for one new pool
# or arena of the interpreter's own allocator, which a run may take once.
GROWTH_BOUND_KIB = 256
# Growth of a half below this is flat: a leak past the bound grows both.
FLAT_HALF_KIB = GROWTH_BOUND_KIB // 8


def calls_for(norvik, call, target, gone):
    """The valid call, and the failure path where the function has one."""
    fn = getattr(norvik, call.name)
    args = call.arguments(target)
    variants = [swallowing(fn, *args)]
    if call.name in INTERFACE_CALLS:
        variants.append(swallowing(fn, MISSING_INTERFACE, *args[1:]))
    elif args and args[0] == target.pid:
        variants.append(swallowing(fn, gone, *args[1:]))
    return variants


def soak(variants, seconds, warmup):
    """Calls the variants in turn for `seconds`; returns (calls, µs per call,
    KiB grown in the first and in the second half after the warm-up)."""
    calls = 0
    start = time.perf_counter()
    marks = (start + warmup, start + warmup + (seconds - warmup) / 2, start + seconds)
    sizes = []
    for mark in marks:
        while time.perf_counter() < mark:
            for v in variants:
                v()
            calls += len(variants)
        gc.collect()
        sizes.append(rss_kib())
    elapsed = time.perf_counter() - start
    return calls, elapsed / calls * 1e6, (sizes[1] - sizes[0], sizes[2] - sizes[1])


def kept_memory(halves, bound):
    """Whether the growth of the two halves is a leak: past the bound in all,
    and not one step with the other half flat."""
    return sum(halves) > bound and min(halves) > FLAT_HALF_KIB


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="time per function")
    parser.add_argument("--warmup", type=float, default=0.5, help="part of it before the first measure")
    parser.add_argument("--bound", type=int, default=GROWTH_BOUND_KIB, help="largest growth allowed, KiB")
    parser.add_argument("only", nargs="*", help="functions to soak (default: all)")
    options = parser.parse_args()

    norvik = importlib.import_module("_norvik_bsd")
    target = Target()
    gone = gone_pid()
    failed = []
    try:
        print(f"soak: {options.seconds:g} s per function, growth bound {options.bound} KiB")
        print(f"{'function':28} {'calls':>10} {'us/call':>10} {'growth KiB':>11}")
        for call in CALLS:
            if options.only and call.name not in options.only:
                continue
            count, micros, halves = soak(calls_for(norvik, call, target, gone), options.seconds, options.warmup)
            growth = sum(halves)
            verdict = "  GREW" if kept_memory(halves, options.bound) else ""
            print(f"{call.name:28} {count:>10} {micros:>10.1f} {growth:>11}{verdict}", flush=True)
            if verdict:
                failed.append(call.name)
    finally:
        target.close()
    if failed:
        print(f"soak: resident size grew beyond {options.bound} KiB: {', '.join(failed)}")
        return 1
    print("soak: no function grew")
    return 0


if __name__ == "__main__":
    sys.exit(main())
