// Handlers of the kernel state tree, grouped by the host facts they read.
#pragma once

#include <cstring>
#include <string>

#include "sysctl_table.h"

namespace compat {

// Appends a plain value's bytes to an answer.
template <typename T>
void append_value(std::string& out, const T& value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// kern_nodes.cpp: machine-wide kernel limits.
int read_kern_argmax(NodeArgs args, std::string& out);

// proc_nodes.cpp: the process table.
int read_proc_pid(NodeArgs args, std::string& out);
int size_proc_pid(NodeArgs args, std::size_t& size);
int read_proc_pid_threads(NodeArgs args, std::string& out);
int read_proc_all(NodeArgs args, std::string& out);
int size_proc_all(NodeArgs args, std::size_t& size);

// rlimit_nodes.cpp: one resource limit of one process (pid, resource).
int read_proc_rlimit(NodeArgs args, std::string& out);
int write_proc_rlimit(NodeArgs args, const void* data, std::size_t len);

// proc_text_nodes.cpp: a process's argument area and executable path, and
// the size of its per-thread records.
int read_proc_args(NodeArgs args, std::string& out);
int size_proc_args(NodeArgs args, std::size_t& size);
int read_proc_pathname(NodeArgs args, std::string& out);
int size_proc_pid_threads(NodeArgs args, std::size_t& size);

// route_nodes.cpp: the interface list as routing messages (protocol,
// family, request, interface index).
int read_route_table(NodeArgs args, std::string& out);
int size_route_table(NodeArgs args, std::size_t& size);

}  // namespace compat
