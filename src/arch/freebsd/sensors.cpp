// The ACPI battery and the CPU temperature sensors.
#include "arch/all/str.h"
#include "arch/posix/sysctl.h"
#include "methods.h"
#include "norvik.h"
#include "norvik_platform.h"

namespace {

constexpr int kKelvinOffset = 2731;  // tenths of a kelvin at 0 °C, as the kernel counts

// Whole degrees Celsius from tenths of a kelvin, truncated toward zero.
int decikelvin_to_celsius(int value) { return (value - kKelvinOffset) / 10; }

// Reads one int node by name. On failure the wrapper's exception is replaced:
// NotImplementedError with `missing` when the node does not exist, else an
// OSError from the errno of the read.
int read_sensor(const char* name, int& value, const char* missing) {
    if (norvik_sysctlbyname(name, &value, sizeof value) == 0) return 0;
    const int err = errno;
    PyErr_Clear();
    if (err == ENOENT) {
        PyErr_SetString(PyExc_NotImplementedError, missing);
    } else {
        errno = err;
        norvik_oserror();
    }
    return -1;
}

}  // namespace

PyObject* norvik_sensors_battery(PyObject*, PyObject*) noexcept {
    int life = 0, minutes = 0, acline = 0;
    if (read_sensor("hw.acpi.battery.life", life, "no battery") != 0 ||
        read_sensor("hw.acpi.battery.time", minutes, "no battery") != 0 ||
        read_sensor("hw.acpi.acline", acline, "no battery") != 0)
        return nullptr;
    return Py_BuildValue("iii", life, minutes, acline);
}

PyObject* norvik_sensors_cpu_temperature(PyObject*, PyObject* args) noexcept {
    int cpu = 0;
    if (!PyArg_ParseTuple(args, "i", &cpu)) return nullptr;
    // Room for the longest name of any int CPU number: a shorter buffer would
    // cut the tjmax name of CPU 100 and above and lose its maximum.
    char name[48];
    int current = 0;
    str_format(name, sizeof name, "dev.cpu.%d.temperature", cpu);
    if (read_sensor(name, current, "no temperature sensors") != 0) return nullptr;
    int tjmax = 0;  // an unreadable maximum is reported as the conversion of 0
    str_format(name, sizeof name, "dev.cpu.%d.coretemp.tjmax", cpu);
    if (norvik_sysctlbyname(name, &tjmax, sizeof tjmax) != 0) {
        tjmax = 0;
        PyErr_Clear();
    }
    return Py_BuildValue("ii", decikelvin_to_celsius(current), decikelvin_to_celsius(tjmax));
}
