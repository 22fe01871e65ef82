"""Battery and CPU temperature: power_supply and hwmon trees written by the
test and read through the stand-in's root, and the scripted kernel for
conversions and failures."""
import errno

import pytest

from norvik_bsd_testing import system_records as sy


def write_tree(root, files):
    for rel, text in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(f"{text}\n")


PS = "sys/class/power_supply"


def battery(name, status, capacity, **values):
    files = {f"{PS}/{name}/type": "Battery", f"{PS}/{name}/present": 1, f"{PS}/{name}/status": status,
             f"{PS}/{name}/capacity": capacity}
    files.update({f"{PS}/{name}/{k}": v for k, v in values.items()})
    return files


def mains(online):
    return {f"{PS}/AC/type": "Mains", f"{PS}/AC/online": int(online)}


@pytest.mark.parametrize("files, expected", [
    # discharging on energy: 23456000 µWh at 7890000 µW is 178.37 minutes
    ({**battery("BAT0", "Discharging", 57, energy_now=23456000, power_now=7890000, energy_full=41000000),
      **mains(False)}, (57, 178, 0)),
    # discharging on charge: 3000000 µAh at 1500000 µA is two hours
    ({**battery("BAT0", "Discharging", 33, charge_now=3000000, current_now=1500000), **mains(False)},
     (33, 120, 0)),
    # rate unknown while discharging
    ({**battery("BAT0", "Discharging", 41, energy_now=5000000, power_now=0), **mains(False)}, (41, -1, 0)),
    ({**battery("BAT0", "Charging", 80, energy_now=30000000, power_now=9000000), **mains(True)}, (80, -1, 1)),
    ({**battery("BAT0", "Full", 100), **mains(True)}, (100, -1, 1)),
    # two batteries: the capacity weighted by their full energy, the time over both
    ({**battery("BAT0", "Discharging", 90, energy_full=30000000, energy_now=27000000, power_now=6000000),
      **battery("BAT1", "Discharging", 30, energy_full=10000000, energy_now=3000000, power_now=3000000),
      **mains(False)}, (75, 200, 0)),
])
def test_battery_from_a_captured_power_supply_tree(norvik, kernel, tmp_path, files, expected):
    write_tree(tmp_path, files)
    kernel.set_root(tmp_path)
    assert norvik.sensors_battery() == expected


def empty_slot(name):
    return {**battery(name, "Unknown", 0), f"{PS}/{name}/present": 0}


@pytest.mark.parametrize("files, expected", [
    # A battery driver with its slot empty keeps the nodes: life and time unknown.
    ({**empty_slot("BAT0"), **mains(True)}, (-1, -1, 1)),
    ({**empty_slot("BAT0"), **mains(False)}, (-1, -1, 0)),
    # An empty slot beside a battery: the battery alone is counted.
    ({**empty_slot("BAT0"), **battery("BAT1", "Discharging", 64, energy_full=40000000, energy_now=20000000,
                                      power_now=10000000), **mains(False)}, (64, 120, 0)),
])
def test_an_empty_battery_slot(norvik, kernel, tmp_path, files, expected):
    write_tree(tmp_path, files)
    kernel.set_root(tmp_path)
    assert norvik.sensors_battery() == expected


@pytest.mark.parametrize("files", [
    {},                                                     # no power_supply at all
    mains(True),                                            # AC only
    battery("BAT0", "Full", 100),                           # no mains node
    {**empty_slot("BAT0")},                                 # an empty slot and no mains node
])
def test_no_battery(norvik, kernel, tmp_path, files):
    (tmp_path / "sys").mkdir()
    write_tree(tmp_path, files)
    kernel.set_root(tmp_path)
    with pytest.raises(NotImplementedError, match="^no battery$"):
        norvik.sensors_battery()


def test_battery_read_failures(norvik, kernel):
    for key in ("hw.acpi.battery.life", "hw.acpi.battery.time", "hw.acpi.acline"):
        kernel.reset()
        for other in ("hw.acpi.battery.life", "hw.acpi.battery.time", "hw.acpi.acline"):
            kernel.answer(other, sy.int32(50))
        kernel.fail(key, errno.EIO)
        with pytest.raises(OSError) as info:
            norvik.sensors_battery()
        assert info.value.errno == errno.EIO and type(info.value) is OSError
        kernel.fail(key, errno.ENOENT)
        with pytest.raises(NotImplementedError, match="^no battery$"):
            norvik.sensors_battery()


# ---- CPU temperature ------------------------------------------------------------------------

def topology(cpu, core, package):
    base = f"sys/devices/system/cpu/cpu{cpu}/topology"
    return {f"{base}/core_id": core, f"{base}/physical_package_id": package}


def coretemp(hwmon, package, cores, crit=True):
    """cores: {core id: millidegrees}; the package reads 1000 more than its hottest core."""
    d = f"sys/class/hwmon/{hwmon}"
    files = {f"{d}/name": "coretemp", f"{d}/temp1_label": f"Package id {package}",
             f"{d}/temp1_input": max(cores.values()) + 1000}
    if crit:
        files[f"{d}/temp1_crit"] = 105000
    for i, (core, milli) in enumerate(cores.items(), start=2):
        files[f"{d}/temp{i}_label"] = f"Core {core}"
        files[f"{d}/temp{i}_input"] = milli
        if crit:
            files[f"{d}/temp{i}_crit"] = 100000 - package * 5000
    return files


TWO_PACKAGES = {
    **topology(0, 0, 0), **topology(1, 4, 0), **topology(2, 0, 1), **topology(3, 9, 1),
    # hwmon10 sorts after hwmon2: the package label, not the order, chooses
    **coretemp("hwmon10", 0, {0: 41000, 4: 47900}), **coretemp("hwmon2", 1, {0: 63500}),
}


@pytest.mark.parametrize("cpu, expected", [
    (0, (41, 100)),
    (1, (47, 100)),   # 47.9 truncated
    (2, (63, 95)),
    (3, (64, 105)),   # core 9 has no input of its own: the package's
])
def test_coretemp_two_packages(norvik, kernel, tmp_path, cpu, expected):
    write_tree(tmp_path, TWO_PACKAGES)
    kernel.set_root(tmp_path)
    assert norvik.sensors_cpu_temperature(cpu) == expected


def test_coretemp_without_crit_reports_the_zero_maximum(norvik, kernel, tmp_path):
    write_tree(tmp_path, {**topology(0, 0, 0), **coretemp("hwmon0", 0, {0: 52000}, crit=False)})
    kernel.set_root(tmp_path)
    assert norvik.sensors_cpu_temperature(0) == (52, -273)


def test_k10temp_and_package_thermal_zones(norvik, kernel, tmp_path):
    write_tree(tmp_path, {
        **topology(0, 0, 0), **topology(1, 0, 1),
        "sys/class/hwmon/hwmon1/name": "k10temp", "sys/class/hwmon/hwmon1/temp1_input": 38250,
        "sys/class/hwmon/hwmon1/temp1_crit": 95000,
        "sys/class/hwmon/hwmon3/name": "k10temp", "sys/class/hwmon/hwmon3/temp1_label": "Tctl",
        "sys/class/hwmon/hwmon3/temp1_input": 99000, "sys/class/hwmon/hwmon3/temp2_label": "Tdie",
        "sys/class/hwmon/hwmon3/temp2_input": 71000,
    })
    kernel.set_root(tmp_path)
    # FreeBSD's AMD driver has no tjmax node: the critical value is not one.
    assert norvik.sensors_cpu_temperature(0) == (38, -273)
    assert norvik.sensors_cpu_temperature(1) == (71, -273)


def test_x86_pkg_temp_zone_with_critical_trip(norvik, kernel, tmp_path):
    z = "sys/class/thermal"
    write_tree(tmp_path, {
        **topology(0, 0, 0), **topology(1, 1, 1),
        f"{z}/thermal_zone0/type": "acpitz", f"{z}/thermal_zone0/temp": 10000,
        f"{z}/thermal_zone1/type": "x86_pkg_temp", f"{z}/thermal_zone1/temp": 55000,
        f"{z}/thermal_zone1/trip_point_0_type": "passive", f"{z}/thermal_zone1/trip_point_0_temp": 80000,
        f"{z}/thermal_zone1/trip_point_1_type": "critical", f"{z}/thermal_zone1/trip_point_1_temp": 98000,
        f"{z}/thermal_zone2/type": "x86_pkg_temp", f"{z}/thermal_zone2/temp": -7000,
    })
    kernel.set_root(tmp_path)
    assert norvik.sensors_cpu_temperature(0) == (55, 98)
    assert norvik.sensors_cpu_temperature(1) == (-7, -273)


@pytest.mark.parametrize("spoil", ["text", "directory"])
def test_a_sensor_without_a_valid_reading_reads_minus_one(norvik, kernel, tmp_path, spoil):
    """The driver is there but has no valid reading (its file gives no
    number, or refuses the read): FreeBSD's node answers -1, which the module
    turns into -273, for the temperature and tjmax alike. Not 'no sensor'."""
    write_tree(tmp_path, {**topology(0, 0, 0), **coretemp("hwmon0", 0, {0: 52000})})
    d = tmp_path / "sys/class/hwmon/hwmon0"
    for name in ("temp2_input", "temp2_crit"):
        (d / name).unlink()
        if spoil == "text":
            (d / name).write_text("N/A\n")
        else:
            (d / name).mkdir()
    kernel.set_root(tmp_path)
    assert norvik.sensors_cpu_temperature(0) == (-273, -273)
    kernel.reset()
    kernel.answer("dev.cpu.0.temperature", sy.int32(-1))
    kernel.answer("dev.cpu.0.coretemp.tjmax", sy.int32(-1))
    assert norvik.sensors_cpu_temperature(0) == (-273, -273)


@pytest.mark.parametrize("cpu", [0, -1, 7])
def test_no_sensor_or_no_such_cpu(norvik, kernel, tmp_path, cpu):
    write_tree(tmp_path, topology(0, 0, 0))  # a CPU without any sensor; 7 does not exist
    kernel.set_root(tmp_path)
    with pytest.raises(NotImplementedError, match="^no temperature sensors$"):
        norvik.sensors_cpu_temperature(cpu)


def decikelvin(key, value):
    return key, sy.int32(value)


@pytest.mark.parametrize("reading, celsius", [
    (2731 + 500, 50), (2731 + 508, 50), (2731 - 10, -1), (2731 - 6, 0), (0, -273), (2731, 0),
])
def test_conversion_truncates_toward_zero(norvik, kernel, reading, celsius):
    kernel.answer("dev.cpu.0.temperature", sy.int32(reading))
    kernel.answer("dev.cpu.0.coretemp.tjmax", sy.int32(reading))
    assert norvik.sensors_cpu_temperature(0) == (celsius, celsius)


@pytest.mark.parametrize("cpu", [99, 100, 4095, 2147483647])
def test_tjmax_of_high_cpu_numbers_is_read(norvik, kernel, cpu):
    """The maximum's name is never cut, whatever the CPU number."""
    kernel.answer(f"dev.cpu.{cpu}.temperature", sy.kelvin_tenths(42))
    kernel.answer(f"dev.cpu.{cpu}.coretemp.tjmax", sy.kelvin_tenths(100))
    assert norvik.sensors_cpu_temperature(cpu) == (42, 100)


def test_temperature_failures(norvik, kernel):
    kernel.fail("dev.cpu.0.temperature", errno.EIO)
    with pytest.raises(OSError) as info:
        norvik.sensors_cpu_temperature(0)
    assert info.value.errno == errno.EIO and type(info.value) is OSError
    kernel.reset()
    kernel.answer("dev.cpu.0.temperature", sy.int32(3000))
    kernel.fail("dev.cpu.0.coretemp.tjmax", errno.EIO)
    assert norvik.sensors_cpu_temperature(0) == (26, -273)
    with pytest.raises(TypeError):
        norvik.sensors_cpu_temperature("0")
