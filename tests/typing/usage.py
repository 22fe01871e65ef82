"""Typed use of the module, checked by mypy against the stub (never run).

Each `type: ignore` marks a call that must stay an error: with
--warn-unused-ignores a stub that stopped refusing it fails the check.
"""
from typing import Dict, List, Literal, Optional, Tuple, Union

from typing_extensions import assert_type

import _norvik_bsd as m

pid = m.pids()[0]
info = m.proc_oneshot_info(pid)
assert_type(info[0], int)
assert_type(info[9], float)
assert_type(info[24], Optional[str])
rss: int = info[18]

assert_type(m.proc_environ(pid), Dict[str, str])
for tid, utime, stime in m.proc_threads(pid):
    assert_type(tid, int)
    assert_type(utime, float)
soft, hard = m.proc_getrlimit(pid, m.RLIMIT_NOFILE)
m.proc_setrlimit(pid, m.RLIMIT_NOFILE, soft, hard)
m.proc_cpu_affinity_set(pid, range(2))
m.proc_cpu_affinity_set(pid, {0, 1})

user, nice, system, idle, interrupt = m.cpu_times()
assert_type(idle, float)
assert_type(m.per_cpu_times(), List[Tuple[float, float, float, float, float]])
assert_type(m.cpu_count_logical(), Optional[int])
assert_type(m.cpu_topology(), Optional[str])
mhz, levels = m.cpu_freq(0)
assert_type(levels, str)

for fd, family, socktype, laddr, raddr, status, owner in m.net_connections((2, 28, 1), (1, 2)):
    assert_type(laddr, Union[Tuple[str, int], str])
    assert_type(raddr, Union[Tuple[str, int], Tuple[()], str])
for row in m.proc_net_connections(pid, [2], [1]):
    assert len(row) == 6
for name, address, netmask, *_ in ((e[0], e[2], e[3]) for e in m.net_if_addrs()):
    assert_type(netmask, Optional[str])
duplex, speed = m.net_if_duplex_speed("lo")
assert_type(m.disk_io_counters()["ada0"][6], int)
assert_type(m.version, Literal[722])

try:
    m.proc_cwd(pid)
except m.ZombieProcessError as exc:
    assert_type(exc, m.ZombieProcessError)
    error: Exception = exc

m.set_debug(None)
m.proc_name(pid=pid)  # type: ignore[call-arg]
m.proc_name(str(pid))  # type: ignore[arg-type]
m.net_if_mtu(b"lo")  # type: ignore[arg-type]
m.proc_getrlimit(pid)  # type: ignore[call-arg]
m.cpu_times(0)  # type: ignore[call-arg]
m.net_connections({2}, [1])  # type: ignore[arg-type]
m.net_connections("2", [1])  # type: ignore[arg-type]
m.version = 723  # type: ignore[misc]
too_many: Tuple[int, int, int] = m.proc_getrlimit(pid, 8)  # type: ignore[assignment]
never_none: str = m.proc_oneshot_info(pid)[24]  # type: ignore[assignment]
