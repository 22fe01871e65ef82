"""Mounted filesystems and disk counters: live against the kernel's own
tables and the system's tools, captured trees for the stand-in's parsers,
and the scripted kernel for the failures this machine can't produce."""
import errno
import json
import os
import re
import subprocess
import tempfile
import threading
import time
import uuid

import pytest

from malformed_records import patch, unterminated
from norvik_bsd_testing.storage_records import MNT, devstat, statfs

STATFS_SIZE = 2344


def unescape(text):
    return re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), text)


def mountinfo():
    """(source, target, fstype, mount options, super options) per line, decoded."""
    out = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            left, right = line.split(" - ", 1)
            fields, tail = left.split(), right.split()
            out.append((unescape(tail[1]), unescape(fields[4]), tail[0], fields[5], tail[2]))
    return out


def option_words(mount_options, super_options):
    words = set(mount_options.split(",")) | set(super_options.split(","))
    expected = ["ro" if "ro" in words else "rw"]
    expected += [w for w in ("sync", "noexec", "nosuid", "noatime", "nosymfollow") if w in words]
    return expected


# ---- live ------------------------------------------------------------------------------------

def test_partitions_match_mountinfo_and_findmnt(norvik):
    before = mountinfo()
    got = norvik.disk_partitions()
    after = mountinfo()
    if before != after:
        pytest.skip("mounts changed during the test")
    assert [(s, t, f) for s, t, f, _, _ in before] == [g[:3] for g in got]
    for (_, target, _, mopts, sopts), (_, _, _, options) in zip(before, got):
        assert options.split(",") == option_words(mopts, sopts), target
    found = json.loads(subprocess.run(["findmnt", "--json", "-l", "-o", "TARGET,FSTYPE,OPTIONS"],
                                      capture_output=True, text=True, check=True).stdout)["filesystems"]
    by_target = {}
    for entry in found:
        by_target[entry["target"]] = entry
    for _, target, fstype, options in got:
        entry = by_target[target]
        assert entry["fstype"] == fstype
        words = entry["options"].split(",")
        assert options.split(",")[0] == ("ro" if "ro" in words else "rw")
        for word in ("noexec", "nosuid", "noatime"):
            assert (word in options.split(",")) == (word in words), (target, word)


@pytest.fixture
def mount_base():
    if os.geteuid() != 0:
        pytest.skip("mounting needs root")
    base = tempfile.mkdtemp(prefix="norvik-disks-")
    yield base
    for name in os.listdir(base):
        subprocess.run(["umount", "-l", os.path.join(base, name)], capture_output=True)
        os.rmdir(os.path.join(base, name))
    os.rmdir(base)


def mount_tmpfs(target, options):
    os.makedirs(target, exist_ok=True)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, f"norvik-{uuid.uuid4().hex[:8]}", target],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"mount refused: {done.stderr.strip()}")


@pytest.mark.parametrize("dirname, options, expected", [
    ("plain", "size=1m", "rw"),
    ("locked down", "ro,noexec,nosuid,size=1m", "ro,noexec,nosuid"),
    ("tab\tand\\back", "noatime,nosuid,size=1m", "rw,nosuid,noatime"),
    ("no symlinks", "nosymfollow,size=1m", "rw,nosymfollow"),
])
def test_mounts_made_for_the_test_show_their_options(norvik, mount_base, dirname, options, expected):
    target = os.path.join(mount_base, dirname)
    mount_tmpfs(target, options)
    mine = [p for p in norvik.disk_partitions() if p[1] == target]
    assert len(mine) == 1
    device, _, fstype, text = mine[0]
    assert device.startswith("norvik-") and fstype == "tmpfs"
    assert text == expected


def test_partitions_while_mounts_come_and_go(norvik, mount_base):
    """The only function that lets other threads run: mounts change between
    its two questions and while it walks, and every answer stays whole."""
    target = os.path.join(mount_base, "churn")
    mount_tmpfs(target, "size=1m")
    subprocess.run(["umount", target], check=True)
    stop = threading.Event()
    errors = []

    def churn():
        while not stop.is_set():
            for cmd in (["mount", "-t", "tmpfs", "-o", "size=1m", "norvik-churn", target], ["umount", target]):
                if subprocess.run(cmd, capture_output=True).returncode != 0:
                    errors.append(cmd)

    thread = threading.Thread(target=churn)
    thread.start()
    seen = set()
    try:
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            got = norvik.disk_partitions()
            assert all(len(p) == 4 and p[1] for p in got)
            seen.add(any(p[1] == target for p in got))
    finally:
        stop.set()
        thread.join(timeout=30)
    assert not thread.is_alive() and not errors
    assert seen  # the loop ran; both states usually show


# ---- captured mountinfo ---------------------------------------------------------------------

CAPTURED_MOUNTINFO = (
    "21 1 8:1 / / rw,noatime - ext4 /dev/sda1 rw\n"
    "22 21 0:5 / /mnt/with\\040space rw,nosuid shared:7 master:2 - tmpfs my\\011src rw,size=10k\n"
    "23 21 0:6 / /back\\134slash rw - averyveryverylongfstype srv:/x ro,sync\n"
    "malformed line without separator\n"
    "24 21 0:7 / /sym rw,nosymfollow,noexec - proc proc rw\n"
)


def test_captured_mountinfo_decodes_escapes_and_translates_options(norvik, kernel, tmp_path):
    (tmp_path / "proc/self").mkdir(parents=True)
    (tmp_path / "proc/self/mountinfo").write_text(CAPTURED_MOUNTINFO)
    kernel.set_root(tmp_path)
    assert norvik.disk_partitions() == [
        ("/dev/sda1", "/", "ext4", "rw,noatime"),
        ("my\tsrc", "/mnt/with space", "tmpfs", "rw,nosuid"),
        ("srv:/x", "/back\\slash", "averyveryverylo", "ro,sync"),  # the type cut to 15 bytes
        ("proc", "/sym", "proc", "rw,noexec,nosymfollow"),
    ]
    (tmp_path / "proc/self/mountinfo").unlink()
    with pytest.raises(FileNotFoundError):
        norvik.disk_partitions()


# ---- scripted getfsstat ---------------------------------------------------------------------

@pytest.mark.parametrize("flags, expected", [
    (0, "rw"),
    (MNT["ro"], "ro"),
    (MNT["noexec"] | MNT["nosuid"] | MNT["noatime"], "rw,noexec,nosuid,noatime"),
    (MNT["acls"] | MNT["nfs4acls"], "rw,acls,nfs4acls"),
    (MNT["noclusterw"] | MNT["ro"], "ro,noclusterw"),
    (MNT["suj"] | MNT["local"], "rw"),  # no text, and above the low 32 bits
    (sum(v for k, v in MNT.items() if k not in ("suj", "local")),
     "ro,sync,noexec,nosuid,async,noatime,softdep,union,suiddir,nosymfollow,gjournal,multilabel,acls,"
     "noclusterr,noclusterw,nfs4acls"),
])
def test_options_text_follows_the_flag_table(norvik, kernel, flags, expected):
    kernel.answer("getfsstat.*", statfs(b"/dev/ada0p2", b"/", b"ufs", flags))
    assert norvik.disk_partitions() == [("/dev/ada0p2", "/", "ufs", expected)]


def test_second_answer_bounds_the_walk(norvik, kernel):
    three = b"".join(statfs(b"d%d" % i, b"/m%d" % i, b"zfs") for i in range(3))
    kernel.answer("getfsstat.0", three)
    kernel.answer("getfsstat.1", three[:2 * STATFS_SIZE])  # one unmounted in between
    assert [p[0] for p in norvik.disk_partitions()] == ["d0", "d1"]
    kernel.answer("getfsstat.0", three[:STATFS_SIZE])
    kernel.answer("getfsstat.1", three)  # two mounted in between: only what the buffer holds
    assert [p[0] for p in norvik.disk_partitions()] == ["d0"]
    kernel.answer("getfsstat.0", b"")
    assert norvik.disk_partitions() == []


def test_names_filling_their_whole_field_end_at_the_field(norvik, kernel):
    # No NUL in the type, source or mount point: the next field, or the end of
    # the buffer for the last record's mount point, is never read as text.
    record = patch(statfs(b"", b"/", b""), 280, b"t" * 16)
    record = unterminated(patch(record, 296, b"s" * 1024), 1320, 1024, b"m")
    kernel.answer("getfsstat.*", record)
    assert norvik.disk_partitions() == [("s" * 1024, "/" + "m" * 1023, "t" * 16, "rw")]
    kernel.answer("devstat_getdevs.0", patch(devstat(b"", 7, reads=1), 44, b"n" * 16))
    assert norvik.disk_io_counters() == {"n" * 16 + "7": (1, 0, 0, 0, 0, 0, 0)}


@pytest.mark.parametrize("key", ["getfsstat.0", "getfsstat.1"])
def test_getfsstat_failures_raise_oserror(norvik, kernel, key):
    kernel.fail(key, errno.EIO)
    with pytest.raises(OSError) as info:
        norvik.disk_partitions()
    assert info.value.errno == errno.EIO


# ---- live disk counters ---------------------------------------------------------------------

def disk_key(name):
    m = re.fullmatch(r"(.*?)(\d+)", name)
    if m:
        return name
    m = re.fullmatch(r"(xvd|sd|vd|hd)([a-z]+)", name)
    if m:
        value = 0
        for c in m.group(2):
            value = value * 26 + ord(c) - ord("a") + 1
        return f"{m.group(1)}{value - 1}"
    return f"{name}0"


def diskstats():
    out = {}
    whole = set(os.listdir("/sys/block"))
    with open("/proc/diskstats") as f:
        for line in f:
            fields = line.split()
            name, c = fields[2], [int(x) for x in fields[3:]]
            virtual = name.startswith(("loop", "ram", "zram"))
            if name in whole and not (virtual and not any(c)):
                out[disk_key(name)] = (c[0], c[4], c[2] * 512, c[6] * 512, c[3], c[7], c[9])
    # FreeBSD's pass-through devices, the host's SCSI generic ones: no counts.
    if os.path.isdir("/sys/class/scsi_generic"):
        for name in os.listdir("/sys/class/scsi_generic"):
            out["pass" + name[2:]] = (0,) * 7
    return out


def test_io_counters_lie_between_two_readings_of_diskstats(norvik):
    before = diskstats()
    got = norvik.disk_io_counters()
    after = diskstats()
    assert set(got) == set(before) == set(after)
    for key, value in got.items():
        assert all(b <= v <= a for b, v, a in zip(before[key], value, after[key])), key


def test_io_counters_cover_the_disks_lsblk_lists(norvik):
    listed = subprocess.run(["lsblk", "-d", "-n", "-o", "NAME,TYPE"], capture_output=True, text=True)
    if listed.returncode != 0:
        pytest.skip("lsblk unavailable")
    got = norvik.disk_io_counters()
    for line in listed.stdout.splitlines():
        name, kind = line.split()
        if kind == "disk" and not name.startswith(("loop", "ram", "zram")):
            assert disk_key(name) in got, name


def backing_disk(path):
    dev = os.stat(path).st_dev
    sys_dir = os.path.realpath(f"/sys/dev/block/{os.major(dev)}:{os.minor(dev)}")
    if not os.path.exists(sys_dir):
        return None
    if os.path.exists(os.path.join(sys_dir, "partition")):
        sys_dir = os.path.dirname(sys_dir)
    return os.path.basename(sys_dir)


def test_a_written_and_synced_file_shows_in_the_counts(norvik):
    directory = "/var/tmp"
    disk = backing_disk(directory)
    if disk is None or disk_key(disk) not in norvik.disk_io_counters():
        pytest.skip("no real disk under /var/tmp")
    key = disk_key(disk)
    before = norvik.disk_io_counters()[key]
    size = 3 * 1024 * 1024 + 4096 * 7
    with tempfile.NamedTemporaryFile(dir=directory) as f:
        f.write(os.urandom(size))
        f.flush()
        os.fsync(f.fileno())
        after = norvik.disk_io_counters()[key]
    assert after[1] > before[1]
    assert after[3] - before[3] >= size


# ---- captured diskstats ---------------------------------------------------------------------

CAPTURED_DISKSTATS = (
    "   8       0 sda 100 1 2000 30 200 2 4000 1500 0 2500 9999 5 0 64 7 3 11\n"
    "   8       1 sda1 50 0 1000 10 20 0 400 90 0 100 200\n"
    " 259       0 nvme0n1 7 0 56 1 8 0 64 2 1 3999 5\n"
    " 179       0 mmcblk0 1 0 8 0 0 0 0 0 0 0 0\n"
    " 253       0 dm-0 3 0 24 0 4 0 32 0 0 1 1\n"
    "   7       3 loop3 0 0 0 0 0 0 0 0 0 0 0\n"
    "   7       4 loop4 9 0 72 0 0 0 0 0 0 0 0\n"
    "   8      26 sdaa 1 0 2 0 0 0 0 0 0 0 0\n"
)


def test_captured_diskstats_become_one_entry_per_whole_disk(norvik, kernel, tmp_path):
    """Whole disks with their counts, and a pass-through device, without
    counts, for each SCSI generic device the host lists."""
    (tmp_path / "proc").mkdir()
    (tmp_path / "proc/diskstats").write_text(CAPTURED_DISKSTATS)
    for name in ("sda", "nvme0n1", "mmcblk0", "dm-0", "loop3", "loop4", "sdaa"):
        (tmp_path / "sys/block" / name).mkdir(parents=True)
    for name in ("sg0", "sg1", "sg10"):
        (tmp_path / "sys/class/scsi_generic" / name).mkdir(parents=True)
    kernel.set_root(tmp_path)
    assert norvik.disk_io_counters() == {
        "pass0": (0,) * 7, "pass1": (0,) * 7, "pass10": (0,) * 7,
        "sd0": (100, 200, 2000 * 512, 4000 * 512, 30, 1500, 2500),
        "nvme0n1": (7, 8, 56 * 512, 64 * 512, 1, 2, 3999),
        "mmcblk0": (1, 0, 8 * 512, 0, 0, 0, 0),
        "dm-0": (3, 4, 24 * 512, 32 * 512, 0, 0, 1),
        "loop4": (9, 0, 72 * 512, 0, 0, 0, 0),
        "sd26": (1, 0, 1024, 0, 0, 0, 0),
    }


def test_every_millisecond_count_comes_back_exactly(norvik, kernel, tmp_path):
    (tmp_path / "proc").mkdir()
    lines = [f"8 {i} sd{chr(97 + i // 26)}{chr(97 + i % 26)} 1 0 0 {ms} 0 0 0 {ms + 1} 0 {ms + 999} 0\n"
             for i, ms in enumerate(range(0, 2600, 7))]
    (tmp_path / "proc/diskstats").write_text("".join(lines))
    kernel.set_root(tmp_path)
    got = norvik.disk_io_counters()
    assert len(got) == len(lines)
    for value in got.values():
        read_ms, write_ms, busy_ms = value[4:]
        assert write_ms == read_ms + 1 and busy_ms == read_ms + 999


# ---- scripted libdevstat --------------------------------------------------------------------

HALF = 1 << 63


def test_device_records_become_keys_and_milliseconds(norvik, kernel):
    kernel.answer("devstat_getdevs.0", devstat(b"ada", 0, 11, 22, 3300, 44000, (1, HALF), (0, (1 << 64) - 1),
                                               (2, 0)) + devstat(b"nvd", 12, busy=(0, 1 << 62)))
    assert norvik.disk_io_counters() == {
        "ada0": (11, 22, 3300, 44000, 1500, 999, 2000),
        "nvd12": (0, 0, 0, 0, 0, 0, 250),
    }


def test_durations_beyond_a_long_long_of_milliseconds_give_its_limit(norvik, kernel):
    most = (1 << 63) - 1
    kernel.answer("devstat_getdevs.0", devstat(b"ada", 0, rtime=(most // 1000, HALF), wtime=(most // 1000 + 1, 0),
                                               busy=(-(1 << 62), 0)))
    read_ms, write_ms, busy_ms = norvik.disk_io_counters()["ada0"][4:]
    assert (read_ms, write_ms, busy_ms) == (most // 1000 * 1000 + 500, most, -(1 << 63))


def test_a_later_device_with_the_same_key_replaces_the_earlier(norvik, kernel):
    kernel.answer("devstat_getdevs.0", devstat(b"da", 1, reads=5) + devstat(b"da", 1, reads=6))
    assert norvik.disk_io_counters() == {"da1": (6, 0, 0, 0, 0, 0, 0)}
    kernel.answer("devstat_getdevs.0", b"")
    assert norvik.disk_io_counters() == {}


@pytest.mark.parametrize("key, message", [
    ("devstat_checkversion.0", "devstat_checkversion() syscall failed"),
    ("devstat_getdevs.0", "devstat_getdevs() syscall failed"),
])
def test_libdevstat_failures_raise_runtime_error(norvik, kernel, key, message):
    kernel.fail(key, errno.EIO)
    with pytest.raises(RuntimeError, match=re.escape(message)):
        norvik.disk_io_counters()
