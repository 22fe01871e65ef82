"""procmon: a toy process and machine monitor over _norvik_bsd, written the
way a project that uses the module writes it. Its tests (test_procmon.py)
run it over the scripted FreeBSD kernel of norvik_bsd_testing."""
import collections
import dataclasses
from typing import Dict, List, Optional


@dataclasses.dataclass
class Proc:
    pid: int
    ppid: int
    name: Optional[str]
    uid: int
    state: str  # "running", "sleeping", "zombie", ...
    cmdline: Optional[List[str]]  # None where the kernel refused it
    open_files: Optional[int]  # None for a zombie or where refused


STATES = {1: "idle", 2: "running", 3: "sleeping", 4: "stopped", 5: "zombie", 6: "waiting", 7: "locked"}


def processes() -> List[Proc]:
    """Every process of the machine. One that exits while it is looked at is
    left out; a zombie is listed as such; what the kernel refuses is None."""
    import _norvik_bsd as bsd

    out = []
    for pid in bsd.pids():
        try:
            info = bsd.proc_oneshot_info(pid)
        except ProcessLookupError:
            continue  # gone between the table and the question
        proc = Proc(pid, info[0], info[24], info[3], STATES.get(info[1], "?"), None, None)
        try:
            proc.cmdline = bsd.proc_cmdline(pid)
        except ProcessLookupError:
            continue
        except PermissionError:
            pass
        if proc.state != "zombie":
            try:
                proc.open_files = bsd.proc_num_fds(pid)
            except ProcessLookupError:
                # FreeBSD lists no descriptors of a zombie (ESRCH): it may
                # have exited since the first question, and still be there.
                if not bsd.proc_is_zombie(pid):
                    continue
                proc.state = "zombie"
            except (PermissionError, bsd.ZombieProcessError):
                pass
        out.append(proc)
    return out


def busiest_cpu() -> int:
    """The CPU that spent the most time outside idle."""
    import _norvik_bsd as bsd

    rows = bsd.per_cpu_times()
    return max(range(len(rows)), key=lambda cpu: rows[cpu][0] + rows[cpu][1] + rows[cpu][2] + rows[cpu][4])


def connections_by_state() -> Dict[str, int]:
    """How many TCP connections of the machine are in each state, by name."""
    import _norvik_bsd as bsd

    names = {getattr(bsd, name): name[5:] for name in dir(bsd) if name.startswith("TCPS_")}
    counts: Dict[str, int] = collections.Counter()
    for row in bsd.net_connections((2, 28), (1,)):
        counts[names.get(row[5], "NONE")] += 1
    return dict(counts)
