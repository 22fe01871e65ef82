"""Processes: the snapshot, the table, scheduling and limits, each beside the
host reads behind it and the way a Python user would get the same by hand."""
import os
import signal
import subprocess
import time

from run import Row

CLK_TCK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGESIZE")


def _boot_time():
    with open("/proc/stat") as f:
        for line in f:
            if line.startswith("btime"):
                return float(line.split()[1])
    return 0.0


def _status_fields(text):
    fields = {}
    for line in text.splitlines():
        key, _, value = line.partition(":")
        fields[key] = value.split()
    return fields


def oneshot_by_hand(pid, boot=_boot_time()):
    """The 25 values from /proc by plain Python: stat, status and io."""
    with open(f"/proc/{pid}/stat") as f:
        stat = f.read()
    with open(f"/proc/{pid}/status") as f:
        status = _status_fields(f.read())
    try:
        with open(f"/proc/{pid}/io") as f:
            io = _status_fields(f.read())
    except OSError:
        io = {}
    name = stat[stat.index("(") + 1:stat.rindex(")")]
    rest = stat[stat.rindex(")") + 2:].split()
    state = {"R": 2, "S": 3, "D": 3, "I": 3, "T": 4, "t": 4, "Z": 5, "X": 5}.get(rest[0], 3)
    uids = [int(v) for v in status["Uid"][:3]]
    gids = [int(v) for v in status["Gid"][:3]]
    kib = lambda key: int(status.get(key, ["0"])[0]) * 1024  # noqa: E731
    cpu = int(rest[36])
    return (int(rest[1]), state, uids[0], uids[1], uids[2], gids[0], gids[1], gids[2],
            int(rest[4]) or -1, boot + int(rest[19]) / CLK_TCK,
            int(status["voluntary_ctxt_switches"][0]), int(status["nonvoluntary_ctxt_switches"][0]),
            int(io.get("read_bytes", ["0"])[0]) // 512, int(io.get("write_bytes", ["0"])[0]) // 512,
            int(rest[11]) / CLK_TCK, int(rest[12]) / CLK_TCK, int(rest[13]) / CLK_TCK, int(rest[14]) / CLK_TCK,
            int(rest[21]) * PAGE, int(rest[20]), kib("VmExe"), kib("VmData"), kib("VmStk"), cpu, name)


def pids_by_hand():
    return [int(name) for name in os.listdir("/proc") if name.isdigit()]


def rows(norvik):
    me = os.getpid()
    with subprocess.Popen(["/bin/sleep", "1000"]) as child:
        pid = child.pid
        yield Row("proc_oneshot_info(child)", call=lambda: norvik.proc_oneshot_info(pid),
                  floor="proc_record_reads", floor_args=[pid], by_hand=lambda: oneshot_by_hand(pid), calls=2000)
        yield Row("sysctl kern.proc.pid (child) [C++]", call_case="sysctl_kinfo_proc", floor="proc_record_reads",
                  floor_args=[pid], calls=2000)
        yield Row("proc_name(child)", call=lambda: norvik.proc_name(pid), floor="proc_record_reads",
                  floor_args=[pid], calls=2000)
        yield Row("proc_num_threads(child)", call=lambda: norvik.proc_num_threads(pid),
                  floor="proc_record_reads", floor_args=[pid], calls=2000)
        yield Row("proc_is_zombie(child)", call=lambda: norvik.proc_is_zombie(pid), floor="proc_record_reads",
                  floor_args=[pid], calls=2000)
        yield Row("proc_cpu_affinity_get(child)", call=lambda: norvik.proc_cpu_affinity_get(pid),
                  floor="sched_getaffinity", floor_args=[pid], by_hand=lambda: os.sched_getaffinity(pid),
                  calls=20000)
        cpus = sorted(os.sched_getaffinity(pid))
        yield Row("proc_cpu_affinity_set(child)", call=lambda: norvik.proc_cpu_affinity_set(pid, cpus),
                  floor="sched_setaffinity", floor_args=[pid, *cpus],
                  by_hand=lambda: os.sched_setaffinity(pid, cpus), calls=5000)
        nofile = norvik.RLIMIT_NOFILE
        yield Row("proc_getrlimit(child, NOFILE)", call=lambda: norvik.proc_getrlimit(pid, nofile),
                  floor="prlimit_get", floor_args=[pid, 7],
                  by_hand=lambda: __import__("resource").prlimit(pid, __import__("resource").RLIMIT_NOFILE),
                  calls=20000)
        soft, hard = norvik.proc_getrlimit(pid, nofile)
        yield Row("proc_setrlimit(child, NOFILE)", call=lambda: norvik.proc_setrlimit(pid, nofile, soft, hard),
                  floor="prlimit_set", floor_args=[pid, 7, soft, hard], calls=20000)
        yield Row("proc_priority_get(child)", call=lambda: norvik.proc_priority_get(pid), floor="getpriority",
                  floor_args=[pid], by_hand=lambda: os.getpriority(os.PRIO_PROCESS, pid), calls=20000)
        yield Row("proc_priority_set(child)", call=lambda: norvik.proc_priority_set(pid, 0), floor="setpriority",
                  floor_args=[pid, 0], by_hand=lambda: os.setpriority(os.PRIO_PROCESS, pid, 0), calls=20000)
        child.kill()
    yield Row("proc_oneshot_info(self)", call=lambda: norvik.proc_oneshot_info(me), floor="proc_record_reads",
              floor_args=[me], by_hand=lambda: oneshot_by_hand(me), calls=2000)
    yield Row("_norvik_pids() [C++]", call_case="sysctl_proc_table", floor="proc_table_reads", calls=20, repeats=5)
    for extra in (100, 1000):
        yield from table_rows(norvik, extra)


PS_ARGV = ["ps", "-e", "-o", "pid,ppid,stat,rss,vsz,comm"]


def table_rows(norvik, extra):
    """The whole table with `extra` more sleeping processes: pids() alone, a
    user's first loop over it, and ps listing the same."""
    def loop():
        for pid in norvik.pids():
            try:
                norvik.proc_oneshot_info(pid)
            except OSError:  # gone meanwhile, or a kernel thread's refusal
                pass

    def loop_by_hand():
        for pid in pids_by_hand():
            try:
                oneshot_by_hand(pid)
            except (OSError, ValueError, IndexError, KeyError):
                pass

    sleepers = [subprocess.Popen(["/bin/sleep", "1000"]) for _ in range(extra)]
    try:
        time.sleep(0.5)
        count = len(pids_by_hand())
        calls = 10 if extra <= 100 else 3
        yield Row(f"pids() [{count} processes]", call=norvik.pids, floor="proc_table_reads",
                  by_hand=pids_by_hand, calls=calls, repeats=5)
        yield Row(f"pids(), then proc_oneshot_info(each) [{count}]", call=loop, floor="proc_table_loop_reads",
                  by_hand=loop_by_hand, calls=calls, repeats=5)
        yield Row(f"{' '.join(PS_ARGV)} [{count}]", call=lambda: subprocess.run(PS_ARGV, stdout=subprocess.DEVNULL),
                  floor="proc_table_reads", calls=calls, repeats=5)
    finally:
        for child in sleepers:
            child.send_signal(signal.SIGKILL)
        for child in sleepers:
            child.wait()
