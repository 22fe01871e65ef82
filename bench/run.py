"""make bench: one table of medians, each function beside its floor and the
way a Python user would get the same answer by hand.

Rows come from the bench/rows_*.py files. Each has a function rows(norvik)
that yields Row objects; it may set up state (children, open files) around
its yields, so a row is measured while that state is alive.
"""
import argparse
import dataclasses
import glob
import importlib.util
import os
import statistics
import subprocess
import sys
import time
from typing import Callable, Optional, Sequence, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))


@dataclasses.dataclass
class Row:
    label: str
    # What is measured: a Python callable, or a case of the floor program.
    call: Optional[Callable] = None
    call_case: Optional[str] = None
    # The floor: a case of the floor program and its arguments.
    floor: Optional[str] = None
    floor_args: Sequence[str] = ()
    # What a Python user would write by hand.
    by_hand: Optional[Callable] = None
    # A floor that is a Python callable, measured interleaved with the call.
    floor_call: Optional[Callable] = None
    # (label of an earlier row, how many times its records this row has):
    # the label then tells how many times that row's time (and floor) this
    # one took.
    grows_from: Optional[Tuple[str, float]] = None
    calls: int = 200
    repeats: int = 7


def median_ns(fn, calls, repeats):
    fn()  # warm up
    samples = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(calls):
            fn()
        samples.append((time.perf_counter_ns() - start) / calls)
    return statistics.median(samples)


def interleaved_ns(first, second, calls, repeats):
    """Medians of two callables measured in turns (first, second, first, ...)."""
    first()
    second()
    samples = ([], [])
    for _ in range(repeats):
        for fn, out in zip((first, second), samples):
            start = time.perf_counter_ns()
            for _ in range(calls):
                fn()
            out.append((time.perf_counter_ns() - start) / calls)
    return statistics.median(samples[0]), statistics.median(samples[1])


def floor_ns(program, case, args, calls, repeats):
    out = subprocess.run([program, case, str(calls), str(repeats), *map(str, args)],
                         capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def fmt_ns(ns):
    if ns is None:
        return "-"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


def fmt_ratio(value):
    return "-" if value is None else f"{value:.2f}x"


def load_row_modules(only):
    for path in sorted(glob.glob(os.path.join(HERE, "rows_*.py"))):
        name = os.path.splitext(os.path.basename(path))[0]
        if only and not any(word in name for word in only):
            continue
        location = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(location)
        location.loader.exec_module(module)
        yield module


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--floor", required=True, help="path of the floor program")
    parser.add_argument("only", nargs="*", help="only the rows files whose names hold these words")
    opts = parser.parse_args()
    sys.path.insert(0, HERE)
    import _norvik_bsd as norvik

    header = ("function", "median", "floor", "vs floor", "by hand", "by hand / ours")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    measured = {}
    for module in load_row_modules(opts.only):
        for row in module.rows(norvik):
            floor = None
            if row.floor_call is not None:
                ours, floor = interleaved_ns(row.call, row.floor_call, row.calls, row.repeats)
            elif row.call is not None:
                ours = median_ns(row.call, row.calls, row.repeats)
            else:
                ours = floor_ns(opts.floor, row.call_case, row.floor_args, row.calls, row.repeats)
            if row.floor:
                floor = floor_ns(opts.floor, row.floor, row.floor_args, row.calls, row.repeats)
            hand = median_ns(row.by_hand, row.calls, row.repeats) if row.by_hand else None
            measured[row.label] = (ours, floor)
            label = row.label
            if row.grows_from and row.grows_from[0] in measured:
                smaller, smaller_floor = measured[row.grows_from[0]]
                label += f" ({row.grows_from[1]:g}x the records: {ours / smaller:.1f}x the time"
                label += f", the floor's {floor / smaller_floor:.1f}x)" if floor and smaller_floor else ")"
            cells = (label, fmt_ns(ours), fmt_ns(floor), fmt_ratio(ours / floor if floor else None),
                     fmt_ns(hand), fmt_ratio(hand / ours if hand else None))
            print("| " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
