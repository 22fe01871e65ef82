// The ACPI battery and CPU temperature nodes, from /sys.
//
// hw.acpi.battery.life / .time, hw.acpi.acline: /sys/class/power_supply.
//   Batteries are the supplies of type "Battery" that are present. life is
//   their capacity in percent (several batteries: weighted by their full
//   energy or charge, as ACPI's combined battery is); time is the minutes
//   left while discharging, energy_now / power_now (or charge_now /
//   current_now) summed over the batteries, and -1 when charging, full or
//   the rate is unknown, as FreeBSD reports it. acline is 1 when a supply of
//   type "Mains" is online, 0 when none is; without a Mains supply the node
//   does not exist. Without a battery driver the battery nodes do not exist
//   (ENOENT). A driver whose slot is empty (its "present" reads 0) keeps
//   them, and with no battery in any slot life and time read -1, as
//   acpi_battery_get_battinfo answers from acpi_reset_battinfo.
//
// A value file that is not there is an unknown value; a file the driver
// refuses to read or that holds no number is one too (the driver has no
// valid reading); a read the host could not do (no descriptor, no memory)
// fails the node with its errno.
//
// dev.cpu.N.temperature, dev.cpu.N.coretemp.tjmax: the sensor of CPU N's core
//   or package, in tenths of a kelvin with FreeBSD's offset of 2731, so that
//   (value - 2731) / 10 gives back the host's whole degrees. CPU N's core and
//   package come from /sys/devices/system/cpu/cpuN/topology. The sensor is,
//   first found:
//   - coretemp: the hwmon whose "Package id P" label names N's package; its
//     "Core C" input for N's core, else the package input;
//   - k10temp: the P-th k10temp hwmon in hwmon number order; its "Tdie"
//     input, else its first;
//   - the P-th thermal zone of type x86_pkg_temp.
//   tjmax is the sensor's critical temperature (hwmon's tempK_crit, the
//   zone's "critical" trip point); a sensor without one has no tjmax node,
//   and neither has k10temp: FreeBSD's AMD driver (amdtemp) makes only the
//   temperature node, the tjmax node is coretemp's.
//   No such CPU, or no sensor for it: ENOENT. A sensor without a valid
//   reading (its driver refuses the read, or gives no number) reads -1, as
//   coretemp answers then, for the temperature and tjmax alike; a read that
//   fails for want of descriptors or memory fails the node with its errno.
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "kern/nodes.h"
#include "linux/host_dirs.h"
#include "linux/host_failure.h"
#include "linux/host_text.h"

namespace compat {
namespace {

constexpr std::string_view kSupplies = "sys/class/power_supply/";

struct Battery {
    long long capacity = -1;
    long long full = -1;  // energy_full or charge_full
    long long now = -1;   // energy_now or charge_now
    long long rate = -1;  // power_now or current_now
    bool discharging = false;
};

struct Supplies {
    std::vector<Battery> batteries;   // the present ones
    bool has_battery_driver = false;  // a Battery supply, present or not
    bool has_mains = false;
    bool mains_online = false;
};

// The host could not do the read: the node fails with its errno rather than
// call the value unknown.
bool host_could_not_read(int err) { return err == EMFILE || err == ENFILE || err == ENOMEM; }

// A sysfs value: 0 with value set to its leading number, or to -1 when the
// file is not there, refuses the read or holds none; else the errno of a
// read the host could not do.
int sysfs_number(const std::string& rel, long long& value) {
    value = -1;
    FileText text;
    const int err = text.read_host(rel);
    if (host_could_not_read(err)) return err;
    if (err != 0 || leading_numbers(text.view(), &value, 1) != 1) value = -1;
    return 0;
}

// A sysfs value's first line: empty when unknown, as above.
int sysfs_line(const std::string& rel, std::string& line) {
    line.clear();
    FileText text;
    const int err = text.read_host(rel);
    if (host_could_not_read(err)) return err;
    std::string_view rest = text.view();
    if (err == 0 && !rest.empty()) line = next_line(rest);
    return 0;
}

// energy_* (µWh, µW) when the battery reports them, else charge_* (µAh, µA).
int supply_value(const std::string& dir, const char* energy, const char* charge, long long& value) {
    if (int err = sysfs_number(dir + energy, value); err != 0 || value >= 0) return err;
    return sysfs_number(dir + charge, value);
}

int read_battery(const std::string& dir, Battery& b) {
    std::string status;
    int err = sysfs_number(dir + "capacity", b.capacity);
    if (err == 0) err = supply_value(dir, "energy_full", "charge_full", b.full);
    if (err == 0) err = supply_value(dir, "energy_now", "charge_now", b.now);
    if (err == 0) err = supply_value(dir, "power_now", "current_now", b.rate);
    if (err == 0) err = sysfs_line(dir + "status", status);
    b.discharging = status == "Discharging";
    return err;
}

// Returns 0, or the errno of a listing or read that failed for another
// reason than a host without power supplies.
int read_supplies(Supplies& out) {
    std::vector<std::string> names;
    if (int err = list_host_dir(kSupplies, names); err != 0) return skip_if_gone(err);
    for (const auto& name : names) {
        const std::string dir = std::string(kSupplies) + name + "/";
        std::string type;
        if (int err = sysfs_line(dir + "type", type); err != 0) return err;
        long long flag = -1;
        if (type == "Mains") {
            out.has_mains = true;
            if (int err = sysfs_number(dir + "online", flag); err != 0) return err;
            if (flag > 0) out.mains_online = true;
        } else if (type == "Battery") {
            out.has_battery_driver = true;
            if (int err = sysfs_number(dir + "present", flag); err != 0) return err;
            if (flag == 0) continue;  // an empty slot
            Battery b;
            if (int err = read_battery(dir, b); err != 0) return err;
            out.batteries.push_back(b);
        }
    }
    return 0;
}

int answer_int(std::string& out, long long value) {
    append_value(out, static_cast<int>(value));
    return 0;
}

}  // namespace

int read_acpi_battery_life(NodeArgs, std::string& out) {
    Supplies s;
    if (int err = read_supplies(s); err != 0) return err;
    if (!s.has_battery_driver) return ENOENT;
    long long weighted = 0, weight = 0, sum = 0, counted = 0;
    for (const auto& b : s.batteries) {
        long long capacity = b.capacity;
        if (capacity < 0 && b.now >= 0 && b.full > 0) capacity = b.now * 100 / b.full;
        if (capacity < 0) continue;
        sum += capacity;
        ++counted;
        if (b.full > 0) {
            weighted += capacity * b.full;
            weight += b.full;
        }
    }
    if (counted == 0) return answer_int(out, -1);
    return answer_int(out, weight > 0 && counted == static_cast<long long>(s.batteries.size())
                               ? weighted / weight
                               : sum / counted);
}

int read_acpi_battery_time(NodeArgs, std::string& out) {
    Supplies s;
    if (int err = read_supplies(s); err != 0) return err;
    if (!s.has_battery_driver) return ENOENT;
    long long now = 0, rate = 0;
    bool discharging = false;
    for (const auto& b : s.batteries) {
        if (!b.discharging) continue;
        discharging = true;
        if (b.now < 0 || b.rate <= 0) return answer_int(out, -1);
        now += b.now;
        rate += b.rate;
    }
    if (!discharging || rate <= 0) return answer_int(out, -1);
    return answer_int(out, now * 60 / rate);
}

int read_acpi_acline(NodeArgs, std::string& out) {
    Supplies s;
    if (int err = read_supplies(s); err != 0) return err;
    if (!s.has_mains) return ENOENT;
    return answer_int(out, s.mains_online ? 1 : 0);
}

// ---- CPU temperature ---------------------------------------------------------

namespace {

constexpr int kKelvinOffset = 2731;  // FreeBSD's: tenths of a kelvin at 0 °C

struct Sensor {
    std::string input;  // a file of millidegrees Celsius
    std::string crit;   // empty when the sensor has no critical value
};

// Each finder below returns 0 when it found the sensor, ENOENT when it did
// not, or the errno of a read the host could not do.

// The input of the hwmon temperature whose label is text, with its crit.
int find_labelled(const std::string& dir, const std::vector<std::string>& files, std::string_view text,
                  Sensor& sensor) {
    std::string label;
    for (const auto& file : files) {
        if (!file.ends_with("_label")) continue;
        if (int err = sysfs_line(dir + file, label); err != 0) return err;
        if (label != text) continue;
        const std::string stem = dir + file.substr(0, file.size() - 6);
        sensor = {stem + "_input", stem + "_crit"};
        return 0;
    }
    return ENOENT;
}

// The hwmon folder's file names; ENOENT for a folder gone meanwhile.
int hwmon_files(const std::string& dir, std::vector<std::string>& files) {
    const int err = list_host_dir(dir, files);
    return skip_if_gone(err) == 0 && err != 0 ? ENOENT : err;
}

int coretemp_sensor(const std::vector<std::string>& hwmons, long long core, long long package,
                    Sensor& sensor) {
    const std::string package_label = "Package id " + std::to_string(package);
    std::string name;
    for (const auto& hwmon : hwmons) {
        const std::string dir = "sys/class/hwmon/" + hwmon + "/";
        if (int err = sysfs_line(dir + "name", name); err != 0) return err;
        if (name != "coretemp") continue;
        std::vector<std::string> files;
        if (int err = hwmon_files(dir, files); err != 0) {
            if (err == ENOENT) continue;
            return err;
        }
        Sensor package_sensor;
        if (int err = find_labelled(dir, files, package_label, package_sensor); err != 0) {
            if (err == ENOENT) continue;
            return err;
        }
        const int err = find_labelled(dir, files, "Core " + std::to_string(core), sensor);
        if (err == ENOENT) sensor = package_sensor;
        return err == ENOENT ? 0 : err;
    }
    return ENOENT;
}

int k10temp_sensor(const std::vector<std::string>& hwmons, long long package, Sensor& sensor) {
    long long seen = 0;
    std::string name;
    for (const auto& hwmon : hwmons) {
        const std::string dir = "sys/class/hwmon/" + hwmon + "/";
        if (int err = sysfs_line(dir + "name", name); err != 0) return err;
        if (name != "k10temp") continue;
        if (seen++ != package) continue;
        std::vector<std::string> files;
        if (int err = hwmon_files(dir, files); err != 0) return err;
        const int err = find_labelled(dir, files, "Tdie", sensor);
        if (err == ENOENT) sensor = {dir + "temp1_input", ""};
        sensor.crit.clear();  // amdtemp has no tjmax node
        return err == ENOENT ? 0 : err;
    }
    return ENOENT;
}

int thermal_zone_sensor(long long package, Sensor& sensor) {
    std::vector<std::string> zones;
    if (int err = list_host_dir("sys/class/thermal", zones); err != 0)
        return skip_if_gone(err) == 0 ? ENOENT : err;
    long long seen = 0;
    std::string type;
    for (const auto& zone : zones) {
        const std::string dir = "sys/class/thermal/" + zone + "/";
        if (!zone.starts_with("thermal_zone")) continue;
        if (int err = sysfs_line(dir + "type", type); err != 0) return err;
        if (type != "x86_pkg_temp" || seen++ != package) continue;
        sensor = {dir + "temp", ""};
        for (int trip = 0; trip < 32; ++trip) {
            const std::string stem = dir + "trip_point_" + std::to_string(trip);
            if (int err = sysfs_line(stem + "_type", type); err != 0) return err;
            if (type.empty()) break;
            if (type == "critical") {
                sensor.crit = stem + "_temp";
                break;
            }
        }
        return 0;
    }
    return ENOENT;
}

int cpu_sensor(int cpu, Sensor& sensor) {
    if (cpu < 0) return ENOENT;
    const std::string topology = "sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
    long long core = -1, package = -1;
    if (int err = sysfs_number(topology + "core_id", core); err != 0) return err;
    if (int err = sysfs_number(topology + "physical_package_id", package); err != 0) return err;
    if (core < 0 || package < 0) return ENOENT;
    std::vector<std::string> hwmons;
    if (int err = list_host_dir("sys/class/hwmon", hwmons); err != 0 && skip_if_gone(err) != 0) return err;
    int err = coretemp_sensor(hwmons, core, package, sensor);
    if (err == ENOENT) err = k10temp_sensor(hwmons, package, sensor);
    if (err == ENOENT) err = thermal_zone_sensor(package, sensor);
    return err;
}

constexpr int kNoValidReading = -1;

int answer_decikelvin(const std::string& file, std::string& out) {
    if (file.empty()) return ENOENT;
    FileText text;
    const int err = text.read_host(file);
    if (err == ENOENT || host_could_not_read(err)) return err;
    long long millidegrees = 0;
    if (err != 0 || leading_numbers(text.view(), &millidegrees, 1) != 1)
        return answer_int(out, kNoValidReading);
    return answer_int(out, millidegrees / 100 + kKelvinOffset);
}

}  // namespace

int read_cpu_temperature(NodeArgs args, std::string& out) {
    Sensor sensor;
    if (int err = cpu_sensor(args[0], sensor); err != 0) return err;
    return answer_decikelvin(sensor.input, out);
}

int read_cpu_tjmax(NodeArgs args, std::string& out) {
    Sensor sensor;
    if (int err = cpu_sensor(args[0], sensor); err != 0) return err;
    return answer_decikelvin(sensor.crit, out);
}

}  // namespace compat
