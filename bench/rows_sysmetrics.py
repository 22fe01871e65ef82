"""CPU and memory: each answer beside the host files behind it (read by a
minimal C++ loop) and the way a Python user would get it by hand."""
import ctypes
import glob
import itertools
import os

from run import Row

HZ = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGESIZE")


def _lines(path):
    with open(path) as f:
        return f.read().splitlines()


def _cpu_row(fields):
    user, nice, system, idle, iowait, irq, softirq = (int(x) for x in fields[1:8])
    return (user / HZ, nice / HZ, system / HZ, (idle + iowait) / HZ, (irq + softirq) / HZ)


def cpu_times_by_hand():
    return _cpu_row(_lines("/proc/stat")[0].split())


def per_cpu_times_by_hand():
    return [_cpu_row(line.split()) for line in _lines("/proc/stat") if line.startswith("cpu") and line[3] != " "]


def boot_time_by_hand():
    return float(next(line.split()[1] for line in _lines("/proc/stat") if line.startswith("btime")))


def cpu_stats_by_hand():
    stat = {line.split()[0]: line.split()[1] for line in _lines("/proc/stat") if line}
    vm = dict(line.split() for line in _lines("/proc/vmstat"))
    return (int(stat["ctxt"]), int(stat["intr"]), int(stat["softirq"]), 0, int(vm["pgfault"]))


def _meminfo():
    return {line.split(":")[0]: int(line.split()[1]) * 1024 for line in _lines("/proc/meminfo")}


def virtual_mem_by_hand():
    m = _meminfo()
    wired = sum(m.get(k, 0) for k in ("SUnreclaim", "KernelStack", "PageTables", "Unevictable"))
    return (m["MemTotal"], m["MemFree"], m["Active"], m["Inactive"], wired, 0, m["Buffers"], m["Shmem"])


def swap_mem_by_hand():
    rows = [line.split() for line in _lines("/proc/swaps")[1:]]
    total = sum(int(r[2]) for r in rows) * 1024
    used = sum(int(r[3]) for r in rows) * 1024
    vm = dict(line.split() for line in _lines("/proc/vmstat"))
    return (total, used, total - used, int(vm["pswpin"]) + int(vm["pswpout"]),
            (int(vm["pgpgin"]) + int(vm["pgpgout"])) * 1024 // PAGE)


def topology_by_hand():
    cpus = {}
    for path in glob.glob("/sys/devices/system/cpu/cpu[0-9]*/cache/index*/shared_cpu_list"):
        index = os.path.dirname(path)
        with open(os.path.join(index, "level")) as f, open(path) as g:
            cpus.setdefault(f.read().strip(), set()).add(g.read().strip())
    return cpus


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallInfo2


def heap_info_by_hand():
    info = _libc.mallinfo2()
    return (info.uordblks + info.hblkhd, info.arena + info.hblkhd)


def _online_cpus():
    cpus = []
    for part in _lines("/sys/devices/system/cpu/online")[0].split(","):
        first, _, last = part.strip().partition("-")
        cpus += range(int(first), int(last or first) + 1)
    return cpus


def _topology_files():
    """The files kern.sched.topology_spec reads, in its order: per online
    CPU its package and SMT siblings, then each cache's level and type up to
    the first missing index, and the shared-CPU list of the data and unified
    ones. The module asks the node twice (its size, then its text), and the
    node builds its answer each time."""
    base = "/sys/devices/system/cpu"
    files = [f"{base}/online"]
    for cpu in _online_cpus():
        topology = f"{base}/cpu{cpu}/topology"
        files += [f"{topology}/physical_package_id", f"{topology}/thread_siblings_list"]
        for index in itertools.count():
            cache = f"{base}/cpu{cpu}/cache/index{index}"
            files.append(f"{cache}/level")
            if not os.path.exists(f"{cache}/level"):
                break
            files.append(f"{cache}/type")
            with open(f"{cache}/type") as f:
                if not f.read().startswith("Instruction"):
                    files.append(f"{cache}/shared_cpu_list")
    return files * 2


def rows(norvik):
    stat, vmstat, meminfo = "/proc/stat", "/proc/vmstat", "/proc/meminfo"
    online = "/sys/devices/system/cpu/online"
    yield Row("cpu_count_logical()", call=norvik.cpu_count_logical, floor="host_files", floor_args=[online],
              by_hand=os.cpu_count, calls=5000)
    yield Row("cpu_times()", call=norvik.cpu_times, floor="host_files", floor_args=[stat],
              by_hand=cpu_times_by_hand, calls=2000)
    yield Row("per_cpu_times()", call=norvik.per_cpu_times, floor="host_files", floor_args=[online, stat],
              by_hand=per_cpu_times_by_hand, calls=2000)
    yield Row("boot_time()", call=norvik.boot_time, floor="host_files", floor_args=[stat],
              by_hand=boot_time_by_hand, calls=2000)
    yield Row("cpu_stats()", call=norvik.cpu_stats, floor="host_files", floor_args=[stat, stat, vmstat, stat],
              by_hand=cpu_stats_by_hand, calls=1000)
    yield Row("cpu_topology()", call=norvik.cpu_topology, floor="host_files", floor_args=_topology_files(),
              by_hand=topology_by_hand, calls=200)
    yield Row("virtual_mem()", call=norvik.virtual_mem, floor="host_files", floor_args=[meminfo] * 7,
              by_hand=virtual_mem_by_hand, calls=1000)
    yield Row("swap_mem()", call=norvik.swap_mem, floor="host_files",
              floor_args=["/proc/swaps"] + [vmstat] * 4, by_hand=swap_mem_by_hand, calls=1000)
    yield Row("heap_info()", call=norvik.heap_info, floor="host_allocator_figures", by_hand=heap_info_by_hand,
              calls=5000)
    yield Row("heap_trim()", call=norvik.heap_trim, floor="host_allocator_trim", calls=2000)
