"""The CPUs: count, times (all together and the busiest few), event counters,
frequency, the scheduler's topology as a tree, and the boot time."""
import time
import xml.etree.ElementTree as ET

from units import host_figure

TITLE = "CPU"

LIMIT = 20  # per-CPU rows at most


def times_row(label, t):
    return f"{label:<8} {t[0]:>11.2f} {t[1]:>9.2f} {t[2]:>11.2f} {t[3]:>12.2f} {t[4]:>11.2f}"


def show_topology(group, depth=0):
    cpu = group.find("cpu")
    flags = [f.get("name") for f in group.iter("flag")] if group.find("flags") is not None else []
    cache = group.get("cache-level")
    kind = f"L{cache} cache" if cache != "0" else "system"
    print(f"  {'  ' * depth}{kind} shared by {cpu.get('count')} CPU(s): {cpu.text}"
          + (f" ({'/'.join(flags)})" if flags else ""))
    children = group.find("children")
    for child in children if children is not None else ():
        show_topology(child, depth + 1)


def show(norvik):
    count = norvik.cpu_count_logical()
    print(f"{count} logical CPUs; time since boot in each mode, seconds:")
    print(f"{'CPU':<8} {'user s':>11} {'nice s':>9} {'system s':>11} {'idle s':>12} {'interrupt s':>11}")
    print(times_row("all", norvik.cpu_times()))
    per_cpu = list(enumerate(norvik.per_cpu_times()))
    busiest = sorted(per_cpu, key=lambda r: r[1][0] + r[1][1] + r[1][2] + r[1][4], reverse=True)[:LIMIT]
    for cpu, t in sorted(busiest):
        print(times_row(f"CPU {cpu}", t))
    if len(busiest) < len(per_cpu):
        print(f"  ({len(busiest)} busiest of {len(per_cpu)} CPUs shown)")
    swtch, intr, soft, syscalls, traps = norvik.cpu_stats()
    print(f"since boot: {swtch} context switches, {intr} interrupts, {soft} software interrupts, "
          f"{traps} traps; system calls: {host_figure(syscalls)}")
    try:
        mhz, levels = norvik.cpu_freq(0)
        print(f"CPU 0 frequency {mhz} MHz, levels (MHz/mW): {levels or 'not reported'}")
    except NotImplementedError as exc:
        print(f"CPU 0 frequency: {exc} (no frequency driver on this machine)")
    text = norvik.cpu_topology()
    if text is None:
        print("topology: not available")
    else:
        print("topology:")
        show_topology(ET.fromstring(text)[0])
    boot = norvik.boot_time()
    print(f"booted {time.strftime('%Y-%m-%d %H:%M:%S %Z', time.localtime(boot))} "
          f"(up {(time.time() - boot) / 3600:.1f} hours)")
