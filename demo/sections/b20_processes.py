"""The machine's process table: one line per process from its one-lookup
snapshot, then this process's scheduling and limits."""
import errno
import os
import pwd
from functools import partial

from units import human

size = partial(human, compact=True)

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
        except OSError as exc:
            if exc.errno != errno.ESRCH:
                raise
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
    print(f"{'PID':>7} {'PPID':>7} {'STATE':<6} {'USER':<10} {'THR':>4} {'RSS':>8} {'USER s':>8} "
          f"{'SYS s':>8} {'CPU':>3}  NAME")
    for pid, info, threads in shown:
        name = info[24] if info[24] is not None else "?"
        print(f"{pid:>7} {info[0]:>7} {STATES.get(info[1], str(info[1])):<6} {user_name(info[3])[:10]:<10} "
              f"{threads:>4} {size(info[18]):>8} {info[14]:>8.2f} {info[15]:>8.2f} {info[23]:>3}  {name}")

    me = os.getpid()
    print()
    print(f"this process ({me}): nice {norvik.proc_priority_get(me)}, "
          f"CPUs {norvik.proc_cpu_affinity_get(me)}")
    for label, resource in (("open files", norvik.RLIMIT_NOFILE), ("stack", norvik.RLIMIT_STACK),
                            ("core file", norvik.RLIMIT_CORE), ("processes", norvik.RLIMIT_NPROC)):
        soft, hard = norvik.proc_getrlimit(me, resource)
        text = ["unlimited" if v == norvik.RLIM_INFINITY else str(v) for v in (soft, hard)]
        print(f"  {label:<11} soft {text[0]:>12}  hard {text[1]:>12}")
