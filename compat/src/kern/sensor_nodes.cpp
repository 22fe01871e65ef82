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
//   does not exist. Without a battery the battery nodes do not exist (ENOENT).
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

#include "linux/host_dirs.h"
#include "linux/host_failure.h"
#include "linux/host_text.h"
#include "kern/nodes.h"

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
    std::vector<Battery> batteries;
    bool has_mains = false;
    bool mains_online = false;
};

// energy_* (µWh, µW) when the battery reports them, else charge_* (µAh, µA).
long long supply_value(const std::string& dir, const char* energy, const char* charge) {
    long long value = -1;
    if (host_number(dir + energy, value) || host_number(dir + charge, value)) return value;
    return -1;
}

// Returns 0, or the errno of a listing that failed for another reason than
// a host without power supplies.
int read_supplies(Supplies& out) {
    std::vector<std::string> names;
    if (int err = list_host_dir(kSupplies, names); err != 0) return skip_if_gone(err);
    for (const auto& name : names) {
        const std::string dir = std::string(kSupplies) + name + "/";
        const std::string type = host_line(dir + "type");
        long long flag = 0;
        if (type == "Mains") {
            out.has_mains = true;
            if (host_number(dir + "online", flag) && flag != 0) out.mains_online = true;
        } else if (type == "Battery") {
            if (host_number(dir + "present", flag) && flag == 0) continue;
            Battery b;
            host_number(dir + "capacity", b.capacity);
            b.full = supply_value(dir, "energy_full", "charge_full");
            b.now = supply_value(dir, "energy_now", "charge_now");
            b.rate = supply_value(dir, "power_now", "current_now");
            b.discharging = host_line(dir + "status") == "Discharging";
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
    if (s.batteries.empty()) return ENOENT;
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
    if (s.batteries.empty()) return ENOENT;
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

// The input of the hwmon temperature whose label is text, with its crit.
bool find_labelled(const std::string& dir, const std::vector<std::string>& files, std::string_view text,
                   Sensor& sensor) {
    for (const auto& file : files) {
        if (!file.ends_with("_label")) continue;
        if (host_line(dir + file) != text) continue;
        const std::string stem = dir + file.substr(0, file.size() - 6);
        sensor = {stem + "_input", stem + "_crit"};
        return true;
    }
    return false;
}

bool coretemp_sensor(const std::vector<std::string>& hwmons, long long core, long long package,
                     Sensor& sensor) {
    const std::string package_label = "Package id " + std::to_string(package);
    for (const auto& hwmon : hwmons) {
        const std::string dir = "sys/class/hwmon/" + hwmon + "/";
        if (host_line(dir + "name") != "coretemp") continue;
        std::vector<std::string> files;
        if (list_host_dir(dir, files) != 0) continue;
        Sensor package_sensor;
        if (!find_labelled(dir, files, package_label, package_sensor)) continue;
        if (!find_labelled(dir, files, "Core " + std::to_string(core), sensor)) sensor = package_sensor;
        return true;
    }
    return false;
}

bool k10temp_sensor(const std::vector<std::string>& hwmons, long long package, Sensor& sensor) {
    long long seen = 0;
    for (const auto& hwmon : hwmons) {
        const std::string dir = "sys/class/hwmon/" + hwmon + "/";
        if (host_line(dir + "name") != "k10temp") continue;
        if (seen++ != package) continue;
        std::vector<std::string> files;
        if (list_host_dir(dir, files) != 0) return false;
        if (!find_labelled(dir, files, "Tdie", sensor)) sensor = {dir + "temp1_input", ""};
        sensor.crit.clear();  // amdtemp has no tjmax node
        return true;
    }
    return false;
}

bool thermal_zone_sensor(long long package, Sensor& sensor) {
    std::vector<std::string> zones;
    if (list_host_dir("sys/class/thermal", zones) != 0) return false;
    long long seen = 0;
    for (const auto& zone : zones) {
        const std::string dir = "sys/class/thermal/" + zone + "/";
        if (!zone.starts_with("thermal_zone") || host_line(dir + "type") != "x86_pkg_temp") continue;
        if (seen++ != package) continue;
        sensor = {dir + "temp", ""};
        for (int trip = 0; trip < 32; ++trip) {
            const std::string stem = dir + "trip_point_" + std::to_string(trip);
            const std::string type = host_line(stem + "_type");
            if (type.empty()) break;
            if (type == "critical") {
                sensor.crit = stem + "_temp";
                break;
            }
        }
        return true;
    }
    return false;
}

int cpu_sensor(int cpu, Sensor& sensor) {
    if (cpu < 0) return ENOENT;
    const std::string topology = "sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
    long long core = 0, package = 0;
    if (!host_number(topology + "core_id", core) || !host_number(topology + "physical_package_id", package))
        return ENOENT;
    std::vector<std::string> hwmons;
    if (int err = list_host_dir("sys/class/hwmon", hwmons); err != 0 && skip_if_gone(err) != 0) return err;
    if (coretemp_sensor(hwmons, core, package, sensor) || k10temp_sensor(hwmons, package, sensor) ||
        thermal_zone_sensor(package, sensor))
        return 0;
    return ENOENT;
}

constexpr int kNoValidReading = -1;

int answer_decikelvin(const std::string& file, std::string& out) {
    if (file.empty()) return ENOENT;
    FileText text;
    const int err = text.read_host(file);
    if (err == ENOENT || err == EMFILE || err == ENFILE || err == ENOMEM) return err;
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
