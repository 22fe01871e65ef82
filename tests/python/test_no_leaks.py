"""Repeated calls release what they take: on success and on every failure
path, neither Python objects nor the C memory behind them pile up."""
import errno
import gc
import os
import tracemalloc

import pytest

import malformed_records as malformed
from norvik_bsd_testing.net_records import IFLIST_KEY, ifaddrs_record, ifinfo, sockaddr_dl, sockaddr_in
from conftest import SANITIZED
from proc_children import Child, gone_pid, rss_kib, swallowing, zombie

CALLS = 1000


def held_here():
    """Bytes of live Python objects allocated by code of this file: a call
    into the module from here is charged to the line that made it, while
    whatever other threads of the test run allocate meanwhile is not."""
    snapshot = tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(True, __file__)])
    return sum(stat.size for stat in snapshot.statistics("filename"))


def growth(fn, calls, py_limit):
    """(Python bytes, resident KiB) gained over a run of `calls` calls after a
    first run that pays for one-time growth (the interpreter's string
    interning table, allocator pools).

    The interpreter also rebuilds its table of interned strings now and then,
    a block that shows as held by whichever call happened to add a name; it
    happens once, a leak on every run: a run over the Python limit is
    measured again, and the smaller figure counts."""
    tracemalloc.start()
    for _ in range(calls):
        fn()
    gc.collect()
    held = [held_here()]
    rss_before = rss_kib()
    for _ in range(2):
        for _ in range(calls):
            fn()
        gc.collect()
        held.append(held_here())
        if held[-1] - held[-2] < py_limit:
            break
    tracemalloc.stop()
    return min(after - before for before, after in zip(held, held[1:])), rss_kib() - rss_before


@pytest.fixture(scope="module")
def busy_child():
    setup = ("import threading, socket\n"
             "files = [open('/etc/hostname') for _ in range(20)]\n"
             "sock = socket.socket(); sock.bind(('127.0.0.1', 0)); sock.listen()\n"
             "ev = threading.Event()\n"
             "threads = [threading.Thread(target=ev.wait, daemon=True) for _ in range(4)]\n"
             "[t.start() for t in threads]\n")
    with Child(setup, argv_extra=["arg one", "two"], env={**os.environ, "LEAK_TEST": "x" * 100}) as child:
        yield child.pid


def calls_on(norvik, pid):
    return {
        "proc_oneshot_info": lambda: norvik.proc_oneshot_info(pid),
        "proc_name": lambda: norvik.proc_name(pid),
        "proc_num_threads": lambda: norvik.proc_num_threads(pid),
        "proc_cmdline": lambda: norvik.proc_cmdline(pid),
        "proc_environ": lambda: norvik.proc_environ(pid),
        "proc_exe": lambda: norvik.proc_exe(pid),
        "proc_cwd": lambda: norvik.proc_cwd(pid),
        "proc_threads": lambda: norvik.proc_threads(pid),
        "proc_open_files": lambda: norvik.proc_open_files(pid),
        "proc_num_fds": lambda: norvik.proc_num_fds(pid),
        "proc_memory_maps": lambda: norvik.proc_memory_maps(pid),
        "proc_cpu_affinity_get": lambda: norvik.proc_cpu_affinity_get(pid),
        "proc_getrlimit": lambda: norvik.proc_getrlimit(pid, norvik.RLIMIT_NOFILE),
        "proc_priority_get": lambda: norvik.proc_priority_get(pid),
        "proc_is_zombie": lambda: norvik.proc_is_zombie(pid),
        "proc_net_connections": lambda: norvik.proc_net_connections(pid, (1, 2, 28), (1, 2)),
    }


# A leak of one small object per call would hold CALLS times its size; a
# leaked record array, many kilobytes per call.
PY_BYTES_LIMIT = 32 * 1024
RSS_KIB_LIMIT = 2 * 1024


# Calls that walk every socket of the machine cost milliseconds: fewer of them,
# against a limit scaled down with the count, still catch a small object a call.
SOCKET_TABLE_CALLS = 200


def check(name, fn, calls=CALLS):
    limit = PY_BYTES_LIMIT * calls // CALLS
    held, rss = growth(fn, calls, limit)
    assert held < limit, f"{name}: {held} bytes of Python objects still held after {calls} calls"
    # ASan's quarantine holds freed memory by design: only the object count
    # means anything there.
    if not SANITIZED:
        assert rss < RSS_KIB_LIMIT, f"{name}: resident size grew {rss} KiB over {calls} calls"


def test_successful_calls_release_everything(norvik, busy_child):
    for name, fn in calls_on(norvik, busy_child).items():
        check(name, fn, SOCKET_TABLE_CALLS if name == "proc_net_connections" else CALLS)
    check("pids", norvik.pids)
    check("net_connections", lambda: norvik.net_connections((1, 2, 28), (1, 2)), SOCKET_TABLE_CALLS)


def test_failed_calls_release_everything(norvik):
    pid = gone_pid()
    for name, fn in calls_on(norvik, pid).items():
        check(f"{name}(gone)", swallowing(fn))
    check("proc_cpu_affinity_set(bad cpu)", swallowing(norvik.proc_cpu_affinity_set, os.getpid(), [0, 5000]))
    check("proc_cpu_affinity_set(bad item)", swallowing(norvik.proc_cpu_affinity_set, os.getpid(), [0, "x"]))
    with zombie() as zpid:
        for name in ("proc_cwd", "proc_open_files", "proc_memory_maps", "proc_environ", "proc_num_fds"):
            check(f"{name}(zombie)", swallowing(calls_on(norvik, zpid)[name]))


def test_scripted_failures_release_everything(norvik, kernel):
    """Failures deep inside the allocating read and the table walk."""
    me = os.getpid()
    kernel.grow(f"kern.proc.args.{me}", -1)  # every read fails: the retry limit
    check("proc_cmdline(retry limit)", swallowing(norvik.proc_cmdline, me))
    kernel.fail(f"kern.proc.pid_td.{me}", 12, -1)
    check("proc_threads(ENOMEM)", swallowing(norvik.proc_threads, me))
    kernel.reset()
    kernel.answer("kern.file", b"\0" * 128)
    check("net_connections(xfile size)", swallowing(norvik.net_connections, (1, 2), (1, 2)), SOCKET_TABLE_CALLS)
    kernel.reset()
    kernel.fail("net.local.dgram.pcblist", 13, -1)
    check("net_connections(EACCES)", swallowing(norvik.net_connections, (1, 2), (1, 2)), SOCKET_TABLE_CALLS)
    check("net_connections(bad filter)", swallowing(norvik.net_connections, "ab", (1,)), SOCKET_TABLE_CALLS)
    kernel.reset()
    kernel.grow("net.inet.tcp.pcblist", -1)
    check("proc_net_connections(ENOMEM)", swallowing(norvik.proc_net_connections, me, (2,), (1,)), SOCKET_TABLE_CALLS)


def test_system_metrics_release_everything(norvik, kernel):
    """Every CPU and memory call, on success and on each failure path."""
    for name in ("cpu_count_logical", "cpu_times", "per_cpu_times", "boot_time", "cpu_stats",
                 "cpu_topology", "virtual_mem", "swap_mem", "heap_info", "heap_trim"):
        check(name, getattr(norvik, name))
    check("cpu_freq(no driver)", swallowing(norvik.cpu_freq, -1))
    kernel.answer("dev.cpu.0.freq", b"\x60\x09\x00\x00")
    kernel.fail("dev.cpu.0.freq_levels", 2)
    check("cpu_freq(levels ignored)", lambda: norvik.cpu_freq(0))
    kernel.answer("hw.ncpu", b"\x01\x00\x00\x00")  # fewer than the table's rows
    check("per_cpu_times(longer table)", norvik.per_cpu_times)
    for key, call in (("kern.cp_times", norvik.per_cpu_times), ("kern.sched.topology_spec", norvik.cpu_topology),
                      ("vm.vmtotal", norvik.virtual_mem), ("vm.stats.vm.v_cache_count", norvik.virtual_mem),
                      ("kvm_open", norvik.swap_mem), ("kvm_getswapinfo", norvik.swap_mem),
                      ("mallctl.stats.mapped", norvik.heap_info), ("mallctl.arena.4096.purge", norvik.heap_trim)):
        kernel.fail(key, 5, -1)
        check(f"{call.__name__}({key} fails)", swallowing(call))
        kernel.reset()
        kernel.answer("hw.ncpu", b"\x01\x00\x00\x00")


def test_interface_calls_release_everything(norvik, kernel):
    """Interface tables and queries, on success and on every failure path."""
    for name in ("net_io_counters", "net_if_addrs"):
        check(name, getattr(norvik, name))
    for name in ("net_if_flags", "net_if_mtu", "net_if_is_running", "net_if_duplex_speed"):
        check(f"{name}(lo)", lambda fn=getattr(norvik, name): fn("lo"))
        check(f"{name}(missing)", swallowing(getattr(norvik, name), "nvk9-missing0"))
    kernel.fail("socket", errno.EMFILE)
    for name in ("net_if_flags", "net_if_mtu", "net_if_duplex_speed"):
        check(f"{name}(no socket)", swallowing(getattr(norvik, name), "lo"))
    kernel.reset()
    kernel.answer(IFLIST_KEY, ifinfo("em0") * 3 + malformed.ifinfo("em1", msglen=0))
    check("net_io_counters(malformed)", norvik.net_io_counters)
    kernel.grow(IFLIST_KEY, -1)
    check("net_io_counters(retry limit)", swallowing(norvik.net_io_counters))
    kernel.answer("getifaddrs", ifaddrs_record("em0", 0x2, sockaddr_dl("em0", b"\1\2\3\4\5\6"))
                  + ifaddrs_record("em0", 0x2, sockaddr_in("10.0.0.1"), sockaddr_in("255.0.0.0")))
    check("net_if_addrs(scripted)", norvik.net_if_addrs)
    kernel.fail("getifaddrs", errno.ENOBUFS)
    check("net_if_addrs(failed)", swallowing(norvik.net_if_addrs))


def test_disk_sensor_and_user_calls_release_everything(norvik, kernel, tmp_path):
    """Success on this machine and on a captured tree, then every failure path."""
    check("disk_partitions", norvik.disk_partitions)
    check("disk_io_counters", norvik.disk_io_counters)
    check("users", norvik.users)
    check("sensors_battery(none)", swallowing(norvik.sensors_battery))
    check("sensors_cpu_temperature(none)", swallowing(norvik.sensors_cpu_temperature, 0))
    files = {"sys/class/power_supply/BAT0/type": "Battery", "sys/class/power_supply/BAT0/capacity": "50",
             "sys/class/power_supply/AC/type": "Mains", "sys/class/power_supply/AC/online": "1",
             "sys/devices/system/cpu/cpu0/topology/core_id": "0",
             "sys/devices/system/cpu/cpu0/topology/physical_package_id": "0",
             "sys/class/thermal/thermal_zone0/type": "x86_pkg_temp", "sys/class/thermal/thermal_zone0/temp": "40000",
             "var/run/utmp": ""}
    for rel, text in files.items():
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(text)
    kernel.set_root(tmp_path)
    check("sensors_battery", norvik.sensors_battery)
    check("sensors_cpu_temperature", lambda: norvik.sensors_cpu_temperature(0))
    kernel.reset()
    for key in ("getfsstat.0", "getfsstat.1", "devstat_checkversion.0", "devstat_getdevs.0"):
        kernel.fail(key, 5)
        call = norvik.disk_partitions if key.startswith("getfsstat") else norvik.disk_io_counters
        check(f"{key}(EIO)", swallowing(call))
        kernel.reset()
    kernel.answer("hw.acpi.battery.life", b"\x32\0\0\0")
    kernel.answer("hw.acpi.battery.time", b"\x32\0\0\0")
    kernel.fail("hw.acpi.acline", 5)
    check("sensors_battery(EIO)", swallowing(norvik.sensors_battery))
