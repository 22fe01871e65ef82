// The module's entry and its platform method table.
#include <Python.h>

#include "methods.h"
#include "norvik.h"
#include "registry.h"

int NORVIK_CONN_NONE = 128;

namespace {

PyMethodDef platform_methods[] = {
    NORVIK_ROW("proc_cmdline", norvik_proc_cmdline),
    NORVIK_ROW("proc_cwd", norvik_proc_cwd),
    NORVIK_ROW("proc_environ", norvik_proc_environ),
    NORVIK_ROW("proc_name", norvik_proc_name),
    NORVIK_ROW("proc_num_fds", norvik_proc_num_fds),
    NORVIK_ROW("proc_oneshot_info", norvik_proc_oneshot_info),
    NORVIK_ROW("proc_open_files", norvik_proc_open_files),
    NORVIK_ROW("proc_threads", norvik_proc_threads),
    NORVIK_ROW("proc_num_threads", norvik_proc_num_threads),
    NORVIK_ROW("proc_cpu_affinity_get", norvik_proc_cpu_affinity_get),
    NORVIK_ROW("proc_cpu_affinity_set", norvik_proc_cpu_affinity_set),
    NORVIK_ROW("proc_exe", norvik_proc_exe),
    NORVIK_ROW("proc_getrlimit", norvik_proc_getrlimit),
    NORVIK_ROW("proc_memory_maps", norvik_proc_memory_maps),
    NORVIK_ROW("proc_net_connections", norvik_proc_net_connections),
    NORVIK_ROW("proc_setrlimit", norvik_proc_setrlimit),
    NORVIK_ROW("boot_time", norvik_boot_time),
    NORVIK_ROW("cpu_count_logical", norvik_cpu_count_logical),
    NORVIK_ROW("cpu_stats", norvik_cpu_stats),
    NORVIK_ROW("cpu_times", norvik_cpu_times),
    NORVIK_ROW("disk_io_counters", norvik_disk_io_counters),
    NORVIK_ROW("disk_partitions", norvik_disk_partitions),
    NORVIK_ROW("net_connections", norvik_net_connections),
    NORVIK_ROW("net_io_counters", norvik_net_io_counters),
    NORVIK_ROW("per_cpu_times", norvik_per_cpu_times),
    NORVIK_ROW("pids", norvik_pids),
    NORVIK_ROW("swap_mem", norvik_swap_mem),
    NORVIK_ROW("heap_info", norvik_heap_info),
    NORVIK_ROW("heap_trim", norvik_heap_trim),
    NORVIK_ROW("virtual_mem", norvik_virtual_mem),
    NORVIK_ROW("cpu_freq", norvik_cpu_freq),
    NORVIK_ROW("cpu_topology", norvik_cpu_topology),
    NORVIK_ROW("sensors_battery", norvik_sensors_battery),
    NORVIK_ROW("sensors_cpu_temperature", norvik_sensors_cpu_temperature),
    NORVIK_ROW("check_pid_range", norvik_check_pid_range),
    NORVIK_ROW("set_debug", norvik_set_debug),
    NORVIK_END_OF_TABLE,
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_norvik_bsd",
    nullptr,  // no doc string
    -1,       // single-phase initialisation, no per-module state
    platform_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr IntConstant platform_constants[] = {
    {"version", 722},
    {"SIDL", 1},
    {"SRUN", 2},
    {"SSLEEP", 3},
    {"SSTOP", 4},
    {"SZOMB", 5},
    {"SWAIT", 6},
    {"SLOCK", 7},
    {"TCPS_CLOSED", 0},
    {"TCPS_CLOSING", 7},
    {"TCPS_CLOSE_WAIT", 5},
    {"TCPS_LISTEN", 1},
    {"TCPS_ESTABLISHED", 4},
    {"TCPS_SYN_SENT", 2},
    {"TCPS_SYN_RECEIVED", 3},
    {"TCPS_FIN_WAIT_1", 6},
    {"TCPS_FIN_WAIT_2", 9},
    {"TCPS_LAST_ACK", 8},
    {"TCPS_TIME_WAIT", 10},
    {"NORVIK_CONN_NONE", 128},
};

}  // namespace

NORVIK_EXPORT PyObject* PyInit__norvik_bsd(void) {
    PyObject* module = PyModule_Create2(&module_definition, PYTHON_API_VERSION);
    if (module == nullptr) return nullptr;
    // As the interpreter expects of a failed single-phase start, the module
    // object is dropped; what earlier steps registered is not undone.
    if (norvik_setup() != 0 || norvik_posix_add_constants(module) != 0 ||
        norvik_posix_add_methods(module) != 0) {
        Py_DECREF(module);
        return nullptr;
    }
    if (add_int_constants(module, platform_constants) != 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
