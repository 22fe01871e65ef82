"""CPU count, times, event counters, frequency, topology and boot time:
live against /proc/stat, os, lscpu and uptime; scripted for what this machine
cannot show."""
import errno
import os
import re
import subprocess
import time
import xml.etree.ElementTree as ET
from datetime import datetime

import pytest

import norvik_bsd_testing
from conftest import run_python
from malformed_records import pack
from norvik_bsd_testing import system_records as sy

PACKAGE_DIR = os.path.dirname(os.path.dirname(norvik_bsd_testing.__file__))

HZ = os.sysconf("SC_CLK_TCK")


def stat_lines():
    with open("/proc/stat") as f:
        return {line.split()[0]: [int(x) for x in line.split()[1:]] for line in f if line.strip()}


def as_freebsd_seconds(cols):
    """The test's own conversion: (user, nice, system, idle, interrupt) in
    128 Hz ticks, from the host's jiffies."""
    user, nice, system, idle, iowait, irq, softirq = cols[:7]
    return tuple((j * 128 // HZ) / 128 for j in (user, nice, system, idle + iowait, irq + softirq))


def online_cpus(which="online"):
    cpus = []
    with open(f"/sys/devices/system/cpu/{which}") as f:
        for part in f.read().strip().split(","):
            first, _, last = part.partition("-")
            cpus.extend(range(int(first), int(last or first) + 1))
    return cpus


def between(before, value, after):
    return all(b <= v <= a for b, v, a in zip(before, value, after))


# ---- count and times ----------------------------------------------------------

def test_count_is_the_online_cpus(norvik):
    assert norvik.cpu_count_logical() == os.cpu_count() == len(online_cpus())
    assert len(os.sched_getaffinity(0)) <= norvik.cpu_count_logical()


def test_times_lie_between_two_readings_of_proc_stat(norvik):
    for _ in range(20):
        before = stat_lines()
        total = norvik.cpu_times()
        per_cpu = norvik.per_cpu_times()
        after = stat_lines()
        assert between(as_freebsd_seconds(before["cpu"]), total, as_freebsd_seconds(after["cpu"]))
        # A row for every CPU id up to the highest the firmware lists
        # (FreeBSD's mp_maxid), which can be more than the CPUs counted:
        # those not started read zero.
        assert len(per_cpu) == max(online_cpus("present") + online_cpus()) + 1 >= norvik.cpu_count_logical()
        for cpu, row in enumerate(per_cpu):
            key = f"cpu{cpu}"
            if key not in before or key not in after:
                assert cpu not in online_cpus() and row == (0.0,) * 5
                continue
            assert between(as_freebsd_seconds(before[key]), row, as_freebsd_seconds(after[key]))


def test_per_cpu_sums_match_the_total_and_nothing_goes_back(norvik):
    last = norvik.cpu_times()
    for _ in range(50):
        total = norvik.cpu_times()
        sums = [sum(col) for col in zip(*norvik.per_cpu_times())]
        # Each CPU's row is floored on its own: at most one tick per CPU
        # apart, plus what passed between the two calls.
        slack = (norvik.cpu_count_logical() + 30) / 128
        assert all(abs(s - t) <= slack for s, t in zip(sums, total)), (sums, total)
        assert all(t >= l for t, l in zip(total, last))
        last = total


def test_own_work_lands_in_its_column(norvik):
    """Time this process spends in user mode shows in the user column, or in
    the nice column while it runs niced (as both kernels count it), on each
    CPU's row and in the total: the columns are where FreeBSD has them,
    whatever else the machine does meanwhile."""
    column = 1 if os.getpriority(os.PRIO_PROCESS, 0) > 0 else 0
    before_total, before_rows, before_self = norvik.cpu_times(), norvik.per_cpu_times(), os.times()
    end = time.process_time() + 0.3
    while time.process_time() < end:
        pass
    after_total, after_rows, spent = norvik.cpu_times(), norvik.per_cpu_times(), os.times().user - before_self.user
    rounding = 2 / HZ + 2 / 128
    assert after_total[column] - before_total[column] >= spent - rounding
    gained = sum(a[column] - b[column] for a, b in zip(after_rows, before_rows))
    assert gained >= spent - rounding * len(after_rows)


# ---- boot time ----------------------------------------------------------------

def test_boot_time_is_the_hosts_whole_second_and_stays_put(norvik):
    first = norvik.boot_time()
    assert first.is_integer()
    assert first == stat_lines()["btime"][0]
    with open("/proc/uptime") as f:
        uptime = float(f.read().split()[0])
    assert abs(time.time() - uptime - first) < 2
    shown = subprocess.run(["uptime", "-s"], capture_output=True, text=True, check=True).stdout.strip()
    assert abs(datetime.strptime(shown, "%Y-%m-%d %H:%M:%S").timestamp() - first) <= 1
    time.sleep(1.1)
    assert norvik.boot_time() == first


# ---- event counters -----------------------------------------------------------

def vmstat(key):
    with open("/proc/vmstat") as f:
        for line in f:
            name, value = line.split()
            if name == key:
                return int(value)
    return 0


def test_event_counters_come_in_their_order_from_the_hosts_counts(norvik):
    before = stat_lines()
    faults_before = vmstat("pgfault")
    swtch, intr, soft, syscalls, traps = norvik.cpu_stats()
    after = stat_lines()
    faults_after = vmstat("pgfault")
    low = 0xFFFFFFFF
    for value, key in ((swtch, "ctxt"), (intr, "intr"), (soft, "softirq")):
        assert before[key][0] & low <= value <= after[key][0] & low, key
    assert faults_before & low <= traps <= faults_after & low
    assert syscalls == 0  # the host keeps no count


def test_scripted_counters_keep_their_low_32_bits_and_positions(norvik, kernel):
    for index, name in enumerate(("v_swtch", "v_intr", "v_soft", "v_syscall", "v_trap")):
        kernel.answer(f"vm.stats.sys.{name}", sy.uint64((7 << 32) + 1000 + index))
    assert norvik.cpu_stats() == (1000, 1001, 1002, 1003, 1004)
    kernel.fail("vm.stats.sys.v_trap", errno.EIO)
    with pytest.raises(OSError) as info:
        norvik.cpu_stats()
    assert info.value.errno == errno.EIO and "vm.stats.sys.v_trap" in str(info.value)


# ---- scripted tick tables ------------------------------------------------------

def ticks(*rows):
    return sy.cp_times(rows)


def test_scripted_ticks_come_out_idle_fourth_interrupt_fifth(norvik, kernel):
    kernel.answer("kern.cp_time", ticks((128, 256, 384, 640, 512)))
    assert norvik.cpu_times() == (1.0, 2.0, 3.0, 4.0, 5.0)
    kernel.answer("hw.ncpu", sy.int32(1))
    kernel.answer("kern.cp_times", ticks((64, 0, 0, 32, 16)))
    assert norvik.per_cpu_times() == [(0.5, 0.0, 0.0, 0.125, 0.25)]


@pytest.mark.parametrize("rows, expected", [
    # an unused CPU id below the highest
    (((128, 0, 0, 0, 0), (0, 0, 0, 0, 0), (384, 0, 0, 0, 0)), [1.0, 0.0, 3.0]),
    # CPUs the firmware lists but that were not started (hyperthreads off):
    # zero rows after the last enabled one
    (((128, 0, 0, 0, 0), (256, 0, 0, 0, 0), (0, 0, 0, 0, 0), (0, 0, 0, 0, 0)), [1.0, 2.0, 0.0, 0.0]),
])
def test_a_table_longer_than_the_count_gives_every_cpu(norvik, kernel, rows, expected):
    """A machine keeps a row for every CPU id up to its highest, more rows
    than it counts CPUs: each row is still returned, in CPU order."""
    kernel.answer("hw.ncpu", sy.int32(2))
    kernel.answer("kern.cp_times", ticks(*rows))
    assert [row[0] for row in norvik.per_cpu_times()] == expected
    # A kernel that claims the whole length of a short read filled only
    # what fitted: the rest is read whole, not taken from past the buffer.
    kernel.overreport("kern.cp_times")
    assert [row[0] for row in norvik.per_cpu_times()] == expected


def clockrate(hz, stathz, profhz=0):
    """struct clockinfo; a zero rate is one no kernel answers (sysctl_kern_clockrate
    gives hz for a missing statistics clock), for the module's guard."""
    record = sy.clockinfo(hz or 1, stathz or hz or 1, profhz)
    return pack(pack(record, 12, "<i", stathz), 0, "<ii", hz, 1000000 // hz if hz else 0)


@pytest.mark.parametrize("rate, hz, stathz", [
    (127, 1000, 127),   # one-shot timer mode on a typical amd64 machine
    (133, 1000, 133),   # periodic mode
    (128, 1000, 128),   # the stand-in's own clock
    (100, 100, 0),      # no separate statistics clock: hz is the rate
])
def test_ticks_are_seconds_at_the_statistics_clock_rate(norvik, kernel, rate, hz, stathz):
    kernel.answer("kern.clockrate", clockrate(hz, stathz, 64 * rate))
    kernel.answer("kern.cp_time", ticks((rate, 2 * rate, 3 * rate, rate // 2, 40 * rate)))
    assert norvik.cpu_times() == (1.0, 2.0, 3.0, 40.0, (rate // 2) / rate)
    kernel.answer("hw.ncpu", sy.int32(2))
    kernel.answer("kern.cp_times", ticks((rate * 7, 0, 0, 0, 0), (0, 0, rate * 9, 0, 0)))
    assert norvik.per_cpu_times() == [(7.0, 0.0, 0.0, 0.0, 0.0), (0.0, 0.0, 9.0, 0.0, 0.0)]


def test_an_unreadable_or_empty_clock_rate_fails_the_times(norvik, kernel):
    kernel.fail("kern.clockrate", errno.EIO)
    for fn in (norvik.cpu_times, norvik.per_cpu_times):
        with pytest.raises(OSError) as info:
            fn()
        assert info.value.errno == errno.EIO
    kernel.reset()
    kernel.answer("kern.clockrate", clockrate(0, 0))
    with pytest.raises(RuntimeError, match="no clock rate"):
        norvik.cpu_times()


@pytest.mark.parametrize("key, err, exc", [
    ("hw.ncpu", errno.EIO, OSError),
    ("kern.cp_times", errno.EACCES, PermissionError),
    ("kern.cp_time", errno.ENOENT, FileNotFoundError),
])
def test_failed_tick_reads_raise_with_their_errno(norvik, kernel, key, err, exc):
    kernel.fail(key, err)
    with pytest.raises(exc) as info:
        norvik.cpu_times() if key == "kern.cp_time" else norvik.per_cpu_times()
    assert info.value.errno == err


def test_count_and_boot_time_failures(norvik, kernel):
    kernel.fail("hw.ncpu", errno.EIO)
    assert norvik.cpu_count_logical() is None
    kernel.fail("kern.boottime", errno.EPERM)
    with pytest.raises(PermissionError):
        norvik.boot_time()
    kernel.reset()
    kernel.answer("kern.boottime", sy.boottime((1700000000, 999999)))
    assert norvik.boot_time() == 1700000000.0


# ---- frequency ----------------------------------------------------------------

@pytest.mark.skipif(os.path.exists("/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq"),
                    reason="this machine has a cpufreq driver")
@pytest.mark.parametrize("cpu", [0, -1, 4096])
def test_without_a_driver_the_frequency_is_not_implemented(norvik, cpu):
    with pytest.raises(NotImplementedError, match="^unable to read frequency$"):
        norvik.cpu_freq(cpu)


@pytest.mark.parametrize("cpu, levels_seen", [
    (0, True),
    (12345, True),     # "dev.cpu.12345.freq_levels" fills 25 of the 26 bytes
    (123456, False),   # one digit more: the levels name is cut and names nothing
])
def test_frequency_and_levels_by_cpu_number(norvik, kernel, cpu, levels_seen):
    kernel.answer(f"dev.cpu.{cpu}.freq", sy.int32(2401))
    kernel.answer(f"dev.cpu.{cpu}.freq_levels", "2401/35000 800/-1\0")
    assert norvik.cpu_freq(cpu) == (2401, "2401/35000 800/-1" if levels_seen else "")


def test_missing_or_oversized_levels_are_ignored(norvik, kernel):
    kernel.answer("dev.cpu.0.freq", sy.int32(1200))
    kernel.fail("dev.cpu.0.freq_levels", errno.ENOENT, 1)
    assert norvik.cpu_freq(0) == (1200, "")
    kernel.answer("dev.cpu.0.freq_levels", "9" * 999 + "\0")   # 1000 bytes: fits
    assert norvik.cpu_freq(0) == (1200, "9" * 999)
    kernel.answer("dev.cpu.0.freq_levels", "9" * 1000 + "\0")  # one more: does not
    assert norvik.cpu_freq(0) == (1200, "")


def test_a_failed_frequency_read_other_than_enoent_is_an_oserror(norvik, kernel):
    kernel.fail("dev.cpu.0.freq", errno.EIO)
    with pytest.raises(OSError) as info:
        norvik.cpu_freq(0)
    assert type(info.value) is OSError and info.value.errno == errno.EIO


def test_ignored_failures_write_their_debug_lines():
    code = (f"import sys; sys.path.insert(0, {PACKAGE_DIR!r})\n"
            "import norvik_bsd_testing as t\n"
            "with t.scripted_kernel() as k:\n"
            "    k.answer('dev.cpu.0.freq', t.system_records.int32(900))\n"
            "    k.fail('dev.cpu.0.freq_levels', 2)\n"
            "    k.fail('kern.sched.topology_spec', 5)\n"
            "    print(k.module.cpu_freq(0), k.module.cpu_topology())\n")
    done = run_python(code, env_extra={"NORVIK_DEBUG": "1"})
    assert done.stdout.strip() == "(900, '') None", done.stderr
    assert "cpu freq levels failed (ignored)" in done.stderr
    assert "ignore sysctlbyname('kern.sched.topology_spec') error" in done.stderr


# ---- topology -----------------------------------------------------------------

def cpus_of(group):
    cpu = group.find("cpu")
    listed = [int(x) for x in cpu.text.split(", ")]
    mask = [int(word, 16) for word in cpu.get("mask").split(",")]
    assert int(cpu.get("count")) == len(listed)
    assert [c for c in range(64 * len(mask)) if mask[c // 64] >> (c % 64) & 1] == listed
    return listed


def parse_lscpu_caches(text):
    """{level: {cpu: the CPUs sharing that cache}} from `lscpu -p=CPU,CACHE`.
    util-linux 2.38 prints the caches as columns of their own after an empty
    one (`# CPU,,L1d,L1i,L2,L3`, rows `0,,0,0,0,0`), 2.42 as one column of
    colon-separated ids (`# CPU,L1d:L1i:L2:L3`, rows `0,0:0:0:0`): split on
    both, the header and the rows line up either way."""
    lines = text.splitlines()
    names = re.split("[,:]", [line for line in lines if line.startswith("# CPU")][0][2:])
    rows = [re.split("[,:]", line) for line in lines if line and not line.startswith("#")]
    share = {}
    for col, name in enumerate(names):
        if name in ("L1d", "L2", "L3"):
            level = int(name[1])
            for row in rows:
                share.setdefault(level, {})[int(row[0])] = sorted(
                    int(r[0]) for r in rows if r[col] == row[col])
    return share


def lscpu_caches():
    out = subprocess.run(["lscpu", "-p=CPU,CACHE"], capture_output=True, text=True, check=True).stdout
    return parse_lscpu_caches(out)


# Four CPUs, two cores of two threads: L1 and L2 per core, L3 shared.
LSCPU_SHARING = {1: {0: [0, 1], 1: [0, 1], 2: [2, 3], 3: [2, 3]},
                 2: {0: [0, 1], 1: [0, 1], 2: [2, 3], 3: [2, 3]},
                 3: {0: [0, 1, 2, 3], 1: [0, 1, 2, 3], 2: [0, 1, 2, 3], 3: [0, 1, 2, 3]}}


@pytest.mark.parametrize("text", [
    "# The following is the parsable format...\n# CPU,,L1d,L1i,L2,L3\n"
    "0,,0,0,0,0\n1,,0,0,0,0\n2,,1,1,1,0\n3,,1,1,1,0\n",
    "# The following is the parsable format...\n# CPU,L1d:L1i:L2:L3\n"
    "0,0:0:0:0\n1,0:0:0:0\n2,1:1:1:0\n3,1:1:1:0\n",
], ids=["util-linux-2.38", "util-linux-2.42"])
def test_lscpu_cache_columns_are_read_in_either_layout(text):
    assert parse_lscpu_caches(text) == LSCPU_SHARING


def test_topology_parses_and_describes_this_machine(norvik):
    root = ET.fromstring(norvik.cpu_topology())
    assert root.tag == "groups" and len(root) == 1
    top = root[0]
    assert top.get("level") == "1"
    assert cpus_of(top) == online_cpus()
    share = lscpu_caches()

    def walk(group, depth):
        cpus = cpus_of(group)
        level = int(group.get("cache-level"))
        assert int(group.get("level")) == depth
        if level:
            assert share[level][cpus[0]] == cpus  # exactly the CPUs sharing that cache
        children = group.find("children")
        if children is not None:
            parts = [cpus_of(child) for child in children]
            assert sorted(sum(parts, [])) == cpus  # a partition of the parent
            for child in children:
                walk(child, depth + 1)
    walk(top, 1)


def test_an_unreadable_topology_is_none_with_nothing_pending(norvik, kernel):
    kernel.fail("kern.sched.topology_spec", errno.EIO)
    assert norvik.cpu_topology() is None
    assert norvik.cpu_count_logical() >= 1  # the next call sees no exception


def test_a_topology_text_without_its_terminator_ends_at_its_length(norvik, kernel):
    kernel.answer("kern.sched.topology_spec", "<groups/>")
    assert norvik.cpu_topology() == "<groups/>"
