"""The machine's process table: one line per process from its one-lookup
snapshot, then this process's scheduling and limits."""
import os
import pwd
from units import cut, human

TITLE = "Processes"

LIMIT = 20  # rows of the table at most

STATES = {1: "idle", 2: "run", 3: "sleep", 4: "stop", 5: "zombie", 6: "wait", 7: "lock"}


def user_name(uid, cache={}):
    if uid not in cache:
        try:
            cache[uid] = pwd.getpwuid(uid).pw_name
        except KeyError:
            cache[uid] = str(uid)
    return cache[uid]


def show(norvik):
    rows = []
    gone = 0
    for pid in norvik.pids():
        try:
            info = norvik.proc_oneshot_info(pid)
            threads = norvik.proc_num_threads(pid)
        except ProcessLookupError:
            gone += 1  # ended between the listing and the lookup
            continue
        rows.append((pid, info, threads))
    print(f"{len(rows)} processes" + (f" ({gone} ended while listed)" if gone else ""))
    # The largest by resident size and by CPU time: at most LIMIT of each,
    # the two lists merged, largest resident size first.
    by_rss = sorted(rows, key=lambda r: r[1][18], reverse=True)[:LIMIT // 2]
    by_cpu = sorted(rows, key=lambda r: r[1][14] + r[1][15], reverse=True)[:LIMIT // 2]
    shown = sorted({r[0]: r for r in by_rss + by_cpu}.values(), key=lambda r: r[1][18], reverse=True)
    if len(shown) < len(rows):
        print(f"showing {len(shown)}: the {len(by_rss)} largest by resident size and the "
              f"{len(by_cpu)} with the most CPU time")
    print("RESIDENT: resident memory; USER s and SYSTEM s: CPU time in user mode and in the kernel, seconds;")
    print("ON CPU: the number of the CPU it runs on, or last ran on; NAME: the command name, which the kernel keeps")
    print("to 19 characters")
    print(f"{'PID':>7} {'PARENT':>7} {'STATE':<6} {'USER':<10} {'THREADS':>7} {'RESIDENT':>10} {'USER s':>8} "
          f"{'SYSTEM s':>8} {'ON CPU':>6}  NAME")
    for pid, info, threads in shown:
        name = info[24] if info[24] is not None else "(undecodable)"
        print(f"{pid:>7} {info[0]:>7} {STATES.get(info[1], str(info[1])):<6} {cut(user_name(info[3]), 10):<10} "
              f"{threads:>7} {human(info[18]):>10} {info[14]:>8.2f} {info[15]:>8.2f} {info[23]:>6}  {name}")

    me = os.getpid()
    print()
    print(f"this process ({me}): nice {norvik.proc_priority_get(me)}, "
          f"CPUs {norvik.proc_cpu_affinity_get(me)}")
    print("  limits:")
    for label, resource, unit in (
            ("open files", norvik.RLIMIT_NOFILE, lambda v: f"{v} files"),
            ("stack", norvik.RLIMIT_STACK, human),
            ("core file", norvik.RLIMIT_CORE, human),
            ("processes", norvik.RLIMIT_NPROC, lambda v: f"{v} procs")):
        soft, hard = norvik.proc_getrlimit(me, resource)
        text = ["unlimited" if v == norvik.RLIM_INFINITY else unit(v) for v in (soft, hard)]
        print(f"  {label:<11} soft {text[0]:>14}  hard {text[1]:>14}")
