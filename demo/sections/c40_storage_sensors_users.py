"""Mounted filesystems, per-disk I/O counters, battery and temperatures (or
why they are absent), and the users logged in."""
from functools import partial

from units import human

size = partial(human, compact=True)

TITLE = "Disks, sensors and users"

MAX_ROWS = 20


def show(norvik):
    mounts = norvik.disk_partitions()
    print(f"{len(mounts)} mounted filesystems" + (f" (first {MAX_ROWS})" if len(mounts) > MAX_ROWS else ""))
    print(f"{'DEVICE':<22} {'MOUNT POINT':<32} {'TYPE':<10} OPTIONS")
    for device, target, fstype, options in mounts[:MAX_ROWS]:
        print(f"{device[:22]:<22} {target[:32]:<32} {fstype[:10]:<10} {options}")
    read_only = sum(1 for m in mounts if m[3].startswith("ro"))
    print(f"total: {len(mounts)} ({read_only} read-only)")

    disks = norvik.disk_io_counters()
    print(f"\n{len(disks)} disks")
    print(f"{'DISK':<12} {'READS':>10} {'WRITES':>10} {'READ':>9} {'WRITTEN':>9} {'R ms':>9} {'W ms':>9} {'BUSY ms':>9}")
    totals = [0] * 7
    for name, value in sorted(disks.items())[:MAX_ROWS]:
        print(f"{name:<12} {value[0]:>10} {value[1]:>10} {size(value[2]):>9} {size(value[3]):>9} "
              f"{value[4]:>9} {value[5]:>9} {value[6]:>9}")
        totals = [t + v for t, v in zip(totals, value)]
    print(f"{'total':<12} {totals[0]:>10} {totals[1]:>10} {size(totals[2]):>9} {size(totals[3]):>9} "
          f"{totals[4]:>9} {totals[5]:>9} {totals[6]:>9}")

    try:
        life, minutes, acline = norvik.sensors_battery()
        left = "unknown" if minutes < 0 else f"{minutes // 60}h{minutes % 60:02d}"
        print(f"\nbattery: {life}%, time left {left}, on mains: {'yes' if acline == 1 else 'no'}")
    except NotImplementedError as exc:
        print(f"\nbattery: absent ({exc})")
    temps = []
    for cpu in range(norvik.cpu_count_logical() if hasattr(norvik, "cpu_count_logical") else 256):
        try:
            temps.append((cpu, *norvik.sensors_cpu_temperature(cpu)))
        except NotImplementedError as exc:
            if not temps:
                print(f"CPU temperature: absent ({exc})")
            break
    for cpu, current, tjmax in temps[:MAX_ROWS]:
        print(f"CPU {cpu}: {current} °C" + (f" (max {tjmax} °C)" if tjmax != -273 else ""))

    users = norvik.users()
    print(f"\n{len(users)} users logged in")
    if users:
        import time
        print(f"{'USER':<12} {'TERMINAL':<10} {'HOST':<24} {'SINCE':<17} PID")
        for user, line, host, since, pid in users[:MAX_ROWS]:
            print(f"{user:<12} {line:<10} {host[:24]:<24} {time.strftime('%Y-%m-%d %H:%M', time.localtime(since)):<17} {pid}")
