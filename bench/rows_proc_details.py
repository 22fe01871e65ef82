"""A process's details: command line, environment, executable, working
directory, threads, open files, descriptor count and memory maps, each beside
its floor and the pure-Python way; then how the tables scale (1,000 and
10,000 descriptors or mappings, 10 and 500 threads)."""
import contextlib
import os
import resource
import stat
import subprocess
import sys

from run import Row

CLK_TCK = os.sysconf("SC_CLK_TCK")

# A child holding `fds` extra descriptors of one regular file, `maps` extra
# mappings (alternating protections, so that neighbours never merge) and
# `threads` extra threads, with a few environment variables.
CHILD = r"""
import mmap, os, sys, threading
fds, maps, threads = (int(a) for a in sys.argv[1:4])
path = sys.argv[4]
held = [os.open(path, os.O_RDONLY) for _ in range(fds)]
regions = [mmap.mmap(-1, 4096, prot=mmap.PROT_READ if i % 2 else mmap.PROT_READ | mmap.PROT_WRITE)
           for i in range(maps)]
stop = threading.Event()
workers = [threading.Thread(target=stop.wait, daemon=True) for _ in range(threads)]
for w in workers: w.start()
print("READY", flush=True)
sys.stdin.read()
"""


@contextlib.contextmanager
def child(fds=0, maps=0, threads=0):
    path = os.path.abspath(__file__)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)

    def raise_limit():
        want = fds + 64
        if want > soft:
            resource.setrlimit(resource.RLIMIT_NOFILE, (want, max(hard, want)))

    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(fds), str(maps), str(threads), path],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, preexec_fn=raise_limit,
                            env={**os.environ, "BENCH_A": "1", "BENCH_B": "x=y"})
    assert proc.stdout.readline().startswith(b"READY")
    try:
        yield proc.pid
    finally:
        proc.stdin.close()
        proc.wait()
        proc.stdout.close()


# ---- The pure-Python way -------------------------------------------------

def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def by_hand_cmdline(pid):
    return [os.fsdecode(a) for a in read_bytes(f"/proc/{pid}/cmdline").split(b"\0")[:-1]]


def by_hand_environ(pid):
    result = {}
    for entry in read_bytes(f"/proc/{pid}/environ").split(b"\0"):
        key, eq, value = entry.partition(b"=")
        if eq:
            result[key.decode()] = os.fsdecode(value)
    return result


def by_hand_threads(pid):
    rows = []
    for tid in os.listdir(f"/proc/{pid}/task"):
        fields = read_bytes(f"/proc/{pid}/task/{tid}/stat").rsplit(b")", 1)[1].split()
        rows.append((int(tid), int(fields[11]) / CLK_TCK, int(fields[12]) / CLK_TCK))
    return rows


def by_hand_open_files(pid):
    files = [(os.readlink(f"/proc/{pid}/exe"), -5)]
    for name in os.listdir(f"/proc/{pid}/fd"):
        link = f"/proc/{pid}/fd/{name}"
        try:
            target = os.readlink(link)
            if target.startswith("/") and stat.S_ISREG(os.stat(link).st_mode):
                files.append((target, int(name)))
        except OSError:
            pass
    return files


def by_hand_num_fds(pid):
    # The descriptors, and the text, working directory and root records.
    return len(os.listdir(f"/proc/{pid}/fd")) + 3


def by_hand_memory_maps(pid):
    rows = []
    page_kib = os.sysconf("SC_PAGESIZE") // 1024
    current = None
    for line in read_bytes(f"/proc/{pid}/smaps").decode("utf-8", "surrogateescape").splitlines():
        if line[:1] in "0123456789abcdef":
            fields = line.split(None, 5)
            start, end = fields[0].split("-")
            path = fields[5] if len(fields) > 5 else ""
            current = [f"0x{start}-0x{end}", fields[1][:3], path if path.startswith("/") else "[default]",
                       0, 0, 1, 0]
            rows.append(current)
        elif line.startswith("Rss:"):
            current[3] = int(line.split()[1]) // page_kib
        elif line.startswith(("Private_Clean:", "Private_Dirty:")):
            current[4] += int(line.split()[1]) // page_kib
    return [tuple(r) for r in rows]


def rows(norvik):
    with child() as pid:
        a = [str(pid)]
        yield Row("proc_cmdline(child)", call=lambda: norvik.proc_cmdline(pid), floor="details_cmdline",
                  floor_args=a, by_hand=lambda: by_hand_cmdline(pid), calls=2000)
        yield Row("proc_environ(child)", call=lambda: norvik.proc_environ(pid), floor="details_environ",
                  floor_args=a, by_hand=lambda: by_hand_environ(pid), calls=1000)
        yield Row("proc_exe(child)", call=lambda: norvik.proc_exe(pid), floor="details_exe", floor_args=a,
                  by_hand=lambda: os.readlink(f"/proc/{pid}/exe"), calls=5000)
        yield Row("proc_cwd(child)", call=lambda: norvik.proc_cwd(pid), floor="details_files", floor_args=a,
                  by_hand=lambda: os.readlink(f"/proc/{pid}/cwd"), calls=1000)
        yield Row("proc_threads(child)", call=lambda: norvik.proc_threads(pid), floor="details_threads",
                  floor_args=a, by_hand=lambda: by_hand_threads(pid), calls=1000)
        yield Row("proc_open_files(child)", call=lambda: norvik.proc_open_files(pid), floor="details_files",
                  floor_args=a, by_hand=lambda: by_hand_open_files(pid), calls=1000)
        yield Row("proc_num_fds(child)", call=lambda: norvik.proc_num_fds(pid), floor="details_files",
                  floor_args=a, by_hand=lambda: by_hand_num_fds(pid), calls=1000)
        yield Row("proc_memory_maps(child)", call=lambda: norvik.proc_memory_maps(pid), floor="details_maps",
                  floor_args=a, by_hand=lambda: by_hand_memory_maps(pid), calls=200)

    for n in (1000, 10000):
        with child(fds=n) as pid:
            a = [str(pid)]
            calls = 20 if n == 1000 else 3
            yield Row(f"proc_open_files, {n} descriptors", call=lambda: norvik.proc_open_files(pid),
                      floor="details_files", floor_args=a, by_hand=lambda: by_hand_open_files(pid), calls=calls)
            yield Row(f"proc_num_fds, {n} descriptors", call=lambda: norvik.proc_num_fds(pid),
                      floor="details_files", floor_args=a, by_hand=lambda: by_hand_num_fds(pid), calls=calls)
            yield Row(f"kinfo_getfile, {n} descriptors [C++]", call_case="stand_in_kinfo_getfile",
                      floor="details_table", floor_args=a, calls=calls)
    for n in (1000, 10000):
        with child(maps=n) as pid:
            yield Row(f"proc_memory_maps, {n} mappings", call=lambda: norvik.proc_memory_maps(pid),
                      floor="details_maps", floor_args=[str(pid)], by_hand=lambda: by_hand_memory_maps(pid),
                      calls=10 if n == 1000 else 2)
            yield Row(f"kinfo_getvmmap, {n} mappings [C++]", call_case="stand_in_kinfo_getvmmap",
                      floor="details_smaps", floor_args=[str(pid)], calls=10 if n == 1000 else 2)
    for n in (10, 500):
        with child(threads=n - 1) as pid:
            yield Row(f"proc_threads, {n} threads", call=lambda: norvik.proc_threads(pid),
                      floor="details_threads", floor_args=[str(pid)], by_hand=lambda: by_hand_threads(pid),
                      calls=200 if n == 10 else 5)
