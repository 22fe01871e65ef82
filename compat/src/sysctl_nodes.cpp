// The table of nodes the stand-in answers. A node's MIB is followed by up to
// max_args per-call integers, which the by-name form spells as extra components
// ("kern.proc.pid.1234").
#include "freebsd/sys/socket.h"
#include "freebsd/sys/sysctl.h"
#include "nodes.h"

namespace compat {
namespace {

using namespace freebsd;

constexpr Node kNodes[] = {
    {"kern.argmax", {CTL_KERN, KERN_ARGMAX}, 2, 0, 0, read_kern_argmax, nullptr, nullptr},
    {"kern.proc.pid", {CTL_KERN, KERN_PROC, KERN_PROC_PID}, 3, 1, 1, read_proc_pid, size_proc_pid, nullptr},
    {"kern.proc.proc", {CTL_KERN, KERN_PROC, KERN_PROC_PROC}, 3, 0, 1, read_proc_all, size_proc_all, nullptr},
    {"kern.proc.pid_td", {CTL_KERN, KERN_PROC, KERN_PROC_PID | KERN_PROC_INC_THREAD}, 3, 1, 1,
     read_proc_pid_threads, size_proc_pid_threads, nullptr},
    {"kern.proc.args", {CTL_KERN, KERN_PROC, KERN_PROC_ARGS}, 3, 1, 1, read_proc_args, size_proc_args, nullptr},
    {"kern.proc.pathname", {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME}, 3, 1, 1, read_proc_pathname, nullptr,
     nullptr},
    {"kern.proc.rlimit", {CTL_KERN, KERN_PROC, KERN_PROC_RLIMIT}, 3, 2, 2, read_proc_rlimit, nullptr,
     write_proc_rlimit},
    {"kern.file", {CTL_KERN, KERN_FILE}, 2, 0, 0, read_kern_file, nullptr, nullptr},
    {"net.inet.tcp.pcblist", {CTL_NET, AF_INET, IPPROTO_TCP, TCPCTL_PCBLIST}, 4, 0, 0, read_tcp_pcblist, nullptr,
     nullptr},
    {"net.inet.udp.pcblist", {CTL_NET, AF_INET, IPPROTO_UDP, UDPCTL_PCBLIST}, 4, 0, 0, read_udp_pcblist, nullptr,
     nullptr},
    {"net.local.stream.pcblist", {CTL_NET, AF_UNIX, SOCK_STREAM, CTL_AUTO_START}, 4, 0, 0,
     read_local_stream_pcblist, nullptr, nullptr},
    {"net.local.dgram.pcblist", {CTL_NET, AF_UNIX, SOCK_DGRAM, CTL_AUTO_START + 1}, 4, 0, 0,
     read_local_dgram_pcblist, nullptr, nullptr},
    {"net.local.seqpacket.pcblist", {CTL_NET, AF_UNIX, SOCK_SEQPACKET, CTL_AUTO_START + 2}, 4, 0, 0,
     read_local_seqpacket_pcblist, nullptr, nullptr},
};

}  // namespace

std::span<const Node> sysctl_nodes() { return kNodes; }

}  // namespace compat
