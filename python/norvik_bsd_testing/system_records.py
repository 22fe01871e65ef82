"""FreeBSD 14 amd64 answers of the machine-wide nodes: kern.cp_time(s) rows,
struct clockinfo, struct timeval (kern.boottime), struct vmtotal, the CPU
frequency nodes, the scheduler's topology text, and the ACPI battery and
CPU temperature values."""
import struct
from typing import Any, Dict, Iterable, List, Sequence, Tuple

from ._layout import RecordError, timeval

CPUSTATES = 5  # CP_USER, CP_NICE, CP_SYS, CP_INTR, CP_IDLE
MAXCPU = 1024  # amd64's kernel set size: the topology masks have 16 words
STATHZ = 127  # the statistics clock of a one-shot timer (round_freq(timer, 127))


def int32(value: int) -> bytes:
    """An int node (hw.ncpu, dev.cpu.N.freq, hw.acpi.battery.life...)."""
    return struct.pack("<i", value)


def uint32(value: int) -> bytes:
    """A u_int node (most vm.stats.vm counters)."""
    return struct.pack("<I", value)


def uint64(value: int) -> bytes:
    """A 64-bit counter or size (vm.stats.sys counters, hw.physmem)."""
    return struct.pack("<Q", value)


def int64(value: int) -> bytes:
    """A long node (vfs.bufspace)."""
    return struct.pack("<q", value)


def cp_time(user: int = 0, nice: int = 0, sys: int = 0, intr: int = 0, idle: int = 0) -> bytes:
    """One row of kern.cp_time or kern.cp_times: five longs of
    statistics-clock ticks, in CP_USER..CP_IDLE order."""
    row = (user, nice, sys, intr, idle)
    if min(row) < 0:
        raise RecordError("cp_time: tick counters only grow from 0")
    return struct.pack("<5q", *row)


def cp_times(rows: Iterable[Sequence[int]], absent: int = 0) -> bytes:
    """kern.cp_times: a row per CPU id up to mp_maxid; CPUs that are absent
    or disabled leave `absent` zero rows after the last enabled one."""
    table = [cp_time(*row) for row in rows]
    return b"".join(table) + cp_time() * absent


def clockinfo(hz: int = 1000, stathz: int = STATHZ, profhz: int = 8128) -> bytes:
    """kern.clockrate: struct clockinfo (hz, tick, spare, stathz, profhz)."""
    if hz <= 0 or stathz <= 0:
        raise RecordError("clockinfo: the clocks tick")
    return struct.pack("<5i", hz, 1_000_000 // hz, 0, stathz, profhz)


def boottime(when: Any) -> bytes:
    """kern.boottime: a struct timeval ((seconds, microseconds) or float)."""
    return struct.pack("<qq", *timeval(when, "kern.boottime"))


def vmtotal(t_vm: int = 0, t_avm: int = 0, t_rm: int = 0, t_arm: int = 0, t_vmshr: int = 0, t_avmshr: int = 0,
            t_rmshr: int = 0, t_armshr: int = 0, t_free: int = 0, t_rq: int = 0, t_dw: int = 0, t_pw: int = 0,
            t_sl: int = 0, t_sw: int = 0) -> bytes:
    """vm.vmtotal: struct vmtotal (88 bytes), the memory figures in pages."""
    return struct.pack("<9Q5h6x", t_vm, t_avm, t_rm, t_arm, t_vmshr, t_avmshr, t_rmshr, t_armshr, t_free,
                       t_rq, t_dw, t_pw, t_sl, t_sw)


def kvm_swap(devname: str = "", used: int = 0, total: int = 0, flags: int = 0) -> bytes:
    """One struct kvm_swap (52 bytes) as kvm_getswapinfo(3) gives it: a device
    (its name without "/dev/"), or the summary over all devices (an empty
    name); sizes in pages. The scripted answer of "kvm_getswapinfo" is the
    devices' records followed by the summary's: `swap_table`."""
    name = devname.encode()
    if len(name) >= 32 or b"\0" in name:
        raise RecordError("kvm_swap: a device name holds at most 31 bytes and its NUL")
    if not 0 <= used <= total <= 0xFFFFFFFF:
        raise RecordError("kvm_swap: used pages are within the total, both 32-bit counts")
    return struct.pack("<32sIIiII", name, used, total, flags, 0, 0)


def swap_table(devices: Sequence[Tuple[str, int, int]]) -> bytes:
    """The answer of "kvm_getswapinfo": a kvm_swap per (name, used, total)
    device, then the summary that libkvm makes of them."""
    used = sum(d[1] for d in devices)
    total = sum(d[2] for d in devices)
    return b"".join(kvm_swap(name, u, t) for name, u, t in devices) + kvm_swap("", used, total)


def freq_levels(levels: Sequence[Tuple[int, int]]) -> bytes:
    """dev.cpu.N.freq_levels: "MHz/mW" pairs, highest first, power -1 when
    unknown; "0" without levels. A string node: NUL-terminated."""
    if not levels:
        return b"0\0"
    return " ".join(f"{mhz}/{mw}" for mhz, mw in levels).encode() + b"\0"


def kelvin_tenths(celsius: float) -> bytes:
    """dev.cpu.N.temperature, dev.cpu.N.coretemp.tjmax: an int of tenths of
    a kelvin (coretemp's IK format, offset 2731)."""
    return int32(int(round(celsius * 10)) + 2731)


def battery(life: int, minutes: int, acline: bool) -> Dict[str, bytes]:
    """The three battery nodes' answers: hw.acpi.battery.life (percent, -1
    unknown), hw.acpi.battery.time (minutes, -1 on line power or unknown)
    and hw.acpi.acline (1 on line power)."""
    if not -1 <= life <= 100 or minutes < -1:
        raise RecordError("battery: life is a percentage or -1, time minutes or -1")
    return {"hw.acpi.battery.life": int32(life), "hw.acpi.battery.time": int32(minutes),
            "hw.acpi.acline": int32(int(acline))}


def cpu_list(first: int, count: int) -> str:
    return ", ".join(str(c) for c in range(first, first + count))


def cpu_mask(first: int, count: int) -> str:
    """FreeBSD's cpuset text: the whole set's 64-bit words, lowest first."""
    if first + count > MAXCPU:
        raise RecordError(f"cpuset: CPU ids end below MAXCPU ({MAXCPU})")
    bits = ((1 << count) - 1) << first
    return ",".join(f"{(bits >> (64 * w)) & (2 ** 64 - 1):x}" for w in range(MAXCPU // 64))


def topology(ncpu: int, cache_group: int = 8, smt: int = 2) -> bytes:
    """kern.sched.topology_spec as sched_ule writes it: the machine, its
    last-level caches of `cache_group` CPUs, and their SMT groups of `smt`
    (none when smt is 1). One CPU: the root alone, cache-level 0."""
    if ncpu < 1:
        raise RecordError("topology: a machine has a CPU")
    out: List[str] = ['<groups>\n', f' <group level="1" cache-level="0">\n',
                      f'  <cpu count="{ncpu}" mask="{cpu_mask(0, ncpu)}">{cpu_list(0, ncpu)}</cpu>\n']
    if ncpu > 1:
        out.append('  <children>\n')
        for l3 in range(0, ncpu, cache_group):
            width = min(cache_group, ncpu - l3)
            out.append(f'   <group level="2" cache-level="3">\n    <cpu count="{width}" '
                       f'mask="{cpu_mask(l3, width)}">{cpu_list(l3, width)}</cpu>\n')
            if smt > 1:
                out.append('    <children>\n')
                for pair in range(l3, l3 + width, smt):
                    n = min(smt, l3 + width - pair)
                    out.append(f'     <group level="3" cache-level="2">\n      <cpu count="{n}" '
                               f'mask="{cpu_mask(pair, n)}">{cpu_list(pair, n)}</cpu>\n      <flags>'
                               '<flag name="THREAD">THREAD group</flag><flag name="SMT">SMT group</flag>'
                               '</flags>\n     </group>\n')
                out.append('    </children>\n')
            out.append('   </group>\n')
        out.append('  </children>\n')
    out.append(' </group>\n</groups>\n')
    return "".join(out).encode() + b"\0"
