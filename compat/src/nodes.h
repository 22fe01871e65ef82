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

// socket_nodes.cpp: the open-file table and the socket control block lists.
int read_kern_file(NodeArgs args, std::string& out);
int read_tcp_pcblist(NodeArgs args, std::string& out);
int read_udp_pcblist(NodeArgs args, std::string& out);
int read_local_stream_pcblist(NodeArgs args, std::string& out);
int read_local_dgram_pcblist(NodeArgs args, std::string& out);
int read_local_seqpacket_pcblist(NodeArgs args, std::string& out);

}  // namespace compat
