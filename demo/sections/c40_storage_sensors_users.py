"""Mounted filesystems, per-disk I/O counters, battery and temperatures (or
why they are absent), and the users logged in."""
import time

from units import cut, human

TITLE = "Disks, sensors and users"

MAX_ROWS = 20


def show(norvik):
    mounts = norvik.disk_partitions()
    print(f"{len(mounts)} mounted filesystems" + (f" (first {MAX_ROWS})" if len(mounts) > MAX_ROWS else ""))
    print(f"{'MOUNTED FROM':<22} {'MOUNT POINT':<32} {'TYPE':<10} OPTIONS")
    for device, target, fstype, options in mounts[:MAX_ROWS]:
        print(f"{cut(device, 22):<22} {cut(target, 32):<32} {cut(fstype, 10):<10} {options}")
    read_only = sum(1 for m in mounts if m[3].startswith("ro"))
    print(f"total: {len(mounts)} mounted filesystems ({read_only} read-only)")

    disks = norvik.disk_io_counters()
    print(f"\ndisks: {len(disks)}; operations, bytes and milliseconds since boot:")
    print(f"{'DISK':<12} {'READS':>9} {'WRITES':>9} {'BYTES READ':>11} {'WRITTEN':>11} {'READING ms':>10}"
          f" {'WRITING ms':>10} {'BUSY ms':>9}")
    totals = [0] * 7
    for name, value in sorted(disks.items())[:MAX_ROWS]:
        print(f"{cut(name, 12):<12} {value[0]:>9} {value[1]:>9} {human(value[2]):>11} {human(value[3]):>11} "
              f"{value[4]:>10} {value[5]:>10} {value[6]:>9}")
        totals = [t + v for t, v in zip(totals, value)]
    print(f"{'total':<12} {totals[0]:>9} {totals[1]:>9} {human(totals[2]):>11} {human(totals[3]):>11} "
          f"{totals[4]:>10} {totals[5]:>10} {totals[6]:>9}")

    try:
        life, minutes, acline = norvik.sensors_battery()
        charge = "unknown" if life < 0 else f"{life}%"
        left = "unknown" if minutes < 0 else f"{minutes // 60} h {minutes % 60:02d} min"
        print(f"\nbattery: charge {charge}, time left {left}, on mains power: {'yes' if acline == 1 else 'no'}")
    except NotImplementedError as exc:
        print(f"\nbattery: absent ({exc})")
    temps = []
    for cpu in range(norvik.cpu_count_logical() or 1):
        try:
            temps.append((cpu, *norvik.sensors_cpu_temperature(cpu)))
        except NotImplementedError as exc:
            if not temps:
                print(f"CPU temperature: absent ({exc})")
            break
    for cpu, current, tjmax in temps[:MAX_ROWS]:
        print(f"CPU {cpu}: {current} °C" + (f" (junction maximum {tjmax} °C)" if tjmax != -273 else ""))

    users = norvik.users()
    print(f"\n{len(users)} users logged in")
    if users:
        print(f"{'USER':<12} {'TERMINAL':<10} {'FROM HOST':<24} {'LOGGED IN SINCE':<17} LOGIN PID")
        for user, line, host, since, pid in users[:MAX_ROWS]:
            print(f"{cut(user, 12):<12} {cut(line, 10):<10} {cut(host, 24):<24} "
                  f"{time.strftime('%Y-%m-%d %H:%M', time.localtime(since)):<17} {pid}")
