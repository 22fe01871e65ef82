"""Mounts, disks, sensors and logins, each beside the host reads behind it and
the way a Python user would get the same by hand; mount-table scaling over
captured tables of 1,000 and 10,000 mounts."""
import glob
import importlib.machinery
import importlib.util
import os
import re
import shutil
import struct
import tempfile

from run import Row

ESCAPE = re.compile(r"\\([0-7]{3})")


def mounts_by_hand(path="/proc/self/mountinfo"):
    out = []
    with open(path) as f:
        for line in f:
            left, right = line.split(" - ", 1)
            fields, tail = left.split(), right.split()
            words = set(fields[5].split(",")) | set(tail[2].split(","))
            opts = ["ro" if "ro" in words else "rw"] + [w for w in ("sync", "noexec", "nosuid", "noatime")
                                                        if w in words]
            unq = lambda s: ESCAPE.sub(lambda m: chr(int(m.group(1), 8)), s)
            out.append((unq(tail[1]), unq(fields[4]), tail[0], ",".join(opts)))
    return out


def disks_by_hand():
    whole = set(os.listdir("/sys/block"))
    out = {}
    with open("/proc/diskstats") as f:
        for line in f:
            p = line.split()
            if p[2] in whole:
                c = [int(x) for x in p[3:]]
                out[p[2]] = (c[0], c[4], c[2] * 512, c[6] * 512, c[3], c[7], c[9])
    return out


def battery_by_hand():
    try:
        names = os.listdir("/sys/class/power_supply")
    except FileNotFoundError:
        return None
    for name in names:
        with open(f"/sys/class/power_supply/{name}/type") as f:
            if f.read().strip() == "Battery":
                with open(f"/sys/class/power_supply/{name}/capacity") as c:
                    return int(c.read())
    return None


def users_by_hand():
    out = []
    try:
        with open("/var/run/utmp", "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return out
    for i in range(0, len(data) - 383, 384):
        kind, pid, line, _, user, host = struct.unpack_from("<hxxi32s4s32s256s", data, i)
        if kind == 7:
            sec = struct.unpack_from("<i", data, i + 340)[0]
            out.append((user.split(b"\0")[0].decode(), line.split(b"\0")[0].decode(),
                        host.split(b"\0")[0].decode() or "localhost", float(sec), pid))
    return out


def swallow(fn, *args):
    def call():
        try:
            fn(*args)
        except Exception:
            pass
    return call


def scripted_module():
    """The test build, whose stand-in reads a captured tree (None without it)."""
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    found = glob.glob(os.path.join(os.environ.get("NORVIK_BUILD_DIR", os.path.join(here, "build")),
                                   "scripted", "_norvik_bsd*.so"))
    if not found:
        return None, None
    loader = importlib.machinery.ExtensionFileLoader("_norvik_bsd", found[0])
    module = loader.create_module(importlib.util.spec_from_loader("_norvik_bsd", loader))
    import ctypes
    lib = ctypes.CDLL(found[0])
    lib.norvik_script_set_root.argtypes = [ctypes.c_char_p]
    return module, lib


def captured_mounts(count):
    root = tempfile.mkdtemp(prefix="norvik-bench-mounts-")
    os.makedirs(os.path.join(root, "proc/self"))
    path = os.path.join(root, "proc/self/mountinfo")
    with open(path, "w") as f:
        for i in range(count):
            f.write(f"{100 + i} 1 0:{50 + i} / /mnt/bench\\040{i} rw,nosuid,noexec,relatime - tmpfs "
                    f"bench{i} rw,size=1024k\n")
    return root, path


def rows(norvik):
    yield Row("disk_partitions()", call=norvik.disk_partitions, floor="parse_mountinfo_x2",
              by_hand=mounts_by_hand, calls=300)
    yield Row("disk_io_counters()", call=norvik.disk_io_counters, floor="read_diskstats",
              by_hand=disks_by_hand, calls=1000)
    yield Row("sensors_battery() (absent here)", call=swallow(norvik.sensors_battery),
              floor="list_power_supply_x3", by_hand=battery_by_hand, calls=2000)
    yield Row("users()", call=norvik.users, floor="read_utmp", by_hand=users_by_hand, calls=5000)
    scripted, lib = scripted_module()
    if scripted is None:
        return
    for count in (1000, 10000):
        root, path = captured_mounts(count)
        lib.norvik_script_set_root(root.encode())
        yield Row(f"disk_partitions() {count} mounts [captured]", call=scripted.disk_partitions,
                  floor="parse_mountinfo_x2", floor_args=[path], by_hand=lambda p=path: mounts_by_hand(p),
                  calls=max(3, 20000 // count))
        lib.norvik_script_set_root(b"/")
        shutil.rmtree(root)
