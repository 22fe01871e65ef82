// The stand-in's own answers for the process functions, called from C++:
// what the module's calls cost without the interpreter.
#include "arch/freebsd/proc_table.h"
#include "floor.h"
#include "norvik_platform.h"

NORVIK_FLOOR_CASE(kinfo_proc_sysctl, "sysctl_kinfo_proc") {
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, atoi(args.at(0).c_str())};
    struct kinfo_proc kp;
    size_t len = sizeof kp;
    floor_bench::keep(sysctl(mib, 4, &kp, &len, nullptr, 0));
    floor_bench::keep(kp);
}

NORVIK_FLOOR_CASE(proc_table_sysctl, "sysctl_proc_table") {
    pid_t* pids = nullptr;
    int count = 0;
    if (_norvik_pids(&pids, &count) == 0) free(pids);
    floor_bench::keep(count);
}
