// The order in which FreeBSD's kernel keeps its list of all processes, as
// near as the host can tell it.
#pragma once

#include <vector>

namespace compat {

// Puts the pids newest first, as fork inserts each new process at the head
// of FreeBSD's allproc list. The host keeps no such list; it hands out pids
// in a cycle from the last one given (proc/sys/kernel/ns_last_pid) up to
// pid_max, then again from the bottom. So the newest pid is the last one
// given, and older ones follow in descending order, wrapping from the lowest
// to the highest. Only a process that outlived a whole cycle of pids is
// placed among the younger ones of its pid. Without those two files, the
// highest pid listed counts as the last one given.
void order_newest_first(std::vector<int>& pids);

}  // namespace compat
