// The open-file table and the control block lists read from captured /proc
// trees: every host TCP state reaching its FreeBSD state, FreeBSD's slack in
// the size answers, and the open-file table's newest-first process order.
#include "captured_tree.h"
#include "freebsd/base.h"
#include "freebsd/netinet/in_pcb.h"
#include "freebsd/netinet/tcp_var.h"
#include "freebsd/sys/file.h"
#include "freebsd/sys/sysctl.h"
#include "freebsd/sys/unpcb.h"

// FreeBSD's numbers, taken before the host's headers can rewrite them.
namespace {
constexpr int kInet = freebsd::AF_INET;
constexpr int kInet6 = freebsd::AF_INET6;
constexpr int kInpIpv4 = freebsd::INP_IPV4;
constexpr int kInpIpv6 = freebsd::INP_IPV6;
}  // namespace

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr const char* kInetHeading =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

// One row of /proc/net/tcp or tcp6 in the host's format.
std::string inet_row(int slot, const std::string& local, const std::string& remote, int state,
                     unsigned inode) {
    char row[256];
    std::snprintf(
        row, sizeof row,
        "%4d: %s %s %02X 00000000:00000000 00:00000000 00000000  1000        0 %u 1 0000000000000000 "
        "100 0 0 10 0\n",
        slot, local.c_str(), remote.c_str(), state, inode);
    return row;
}

std::string read_node(const char* name, std::size_t* size_answer = nullptr) {
    std::string bytes;
    EXPECT_EQ(read_sysctl(name, bytes, size_answer), 0) << name;
    return bytes;
}

std::vector<freebsd::xtcpcb> tcp_records(const std::string& list) {
    std::vector<freebsd::xtcpcb> out;
    for (std::size_t pos = sizeof(freebsd::xinpgen); pos + sizeof(freebsd::xtcpcb) <= list.size();
         pos += sizeof(freebsd::xtcpcb)) {
        freebsd::xtcpcb tp;
        std::memcpy(&tp, list.data() + pos, sizeof tp);
        out.push_back(tp);
    }
    return out;
}

class SocketTree : public CapturedTreeTest {};

// Loopback scenes reach only five of the host's states; a captured table
// reaches all twelve, row by row, in IPv4 and IPv6, and each row's state
// must come out as FreeBSD's.
TEST_F(SocketTree, EveryHostTcpStateReachesItsFreebsdState) {
    struct State {
        int host;     // include/net/tcp_states.h
        int freebsd;  // netinet/tcp_fsm.h
    };
    const State states[] = {
        {0x01, freebsd::TCPS_ESTABLISHED},  {0x02, freebsd::TCPS_SYN_SENT},
        {0x03, freebsd::TCPS_SYN_RECEIVED}, {0x04, freebsd::TCPS_FIN_WAIT_1},
        {0x05, freebsd::TCPS_FIN_WAIT_2},   {0x06, freebsd::TCPS_TIME_WAIT},
        {0x07, freebsd::TCPS_CLOSED},       {0x08, freebsd::TCPS_CLOSE_WAIT},
        {0x09, freebsd::TCPS_LAST_ACK},     {0x0A, freebsd::TCPS_LISTEN},
        {0x0B, freebsd::TCPS_CLOSING},      {0x0C, freebsd::TCPS_SYN_RECEIVED},
    };
    const std::string v4 = "0100007F", v6 = "00000000000000000000000001000000";
    std::string tcp = kInetHeading, tcp6 = kInetHeading;
    int slot = 0;
    for (const State& s : states) {
        char local_port[8], remote_port[8];
        std::snprintf(local_port, sizeof local_port, ":%04X", 1000 + s.host);
        std::snprintf(remote_port, sizeof remote_port, ":%04X", 2000 + s.host);
        tcp += inet_row(slot, v4 + local_port, v4 + remote_port, s.host, 100 + s.host);
        tcp6 += inet_row(slot++, v6 + local_port, v6 + remote_port, s.host, 200 + s.host);
    }
    // Connection requests (no socket of their own) wait in FreeBSD's
    // syncache, not in the list.
    tcp += inet_row(slot, v4 + ":0050", v4 + ":9999", 0x03, 0);
    tcp6 += inet_row(slot++, v6 + ":0050", v6 + ":9999", 0x0C, 0);
    write_file("proc/net/tcp", tcp);
    write_file("proc/net/tcp6", tcp6);
    use_as_root();

    const std::string list = read_node("net.inet.tcp.pcblist");
    const auto records = tcp_records(list);
    ASSERT_EQ(records.size(), 2 * std::size(states));
    freebsd::xinpgen head, tail;
    std::memcpy(&head, list.data(), sizeof head);
    std::memcpy(&tail, list.data() + list.size() - sizeof tail, sizeof tail);
    EXPECT_EQ(head.xig_count, records.size());
    EXPECT_EQ(tail.xig_count, records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const State& s = states[i % std::size(states)];
        const bool ipv6 = i >= std::size(states);
        const freebsd::xtcpcb& tp = records[i];
        SCOPED_TRACE("host state " + std::to_string(s.host) + (ipv6 ? " (tcp6)" : " (tcp)"));
        EXPECT_EQ(tp.t_state, s.freebsd);
        EXPECT_EQ(tp.xt_inp.xi_socket.xso_so, static_cast<std::uint64_t>((ipv6 ? 200 : 100) + s.host));
        EXPECT_EQ(tp.xt_inp.xi_socket.xso_family, ipv6 ? kInet6 : kInet);
        EXPECT_EQ(tp.xt_inp.inp_vflag, ipv6 ? kInpIpv6 : kInpIpv4);
        EXPECT_EQ(ntohs(tp.xt_inp.inp_inc.inc_ie.ie_lport), 1000 + s.host);
        EXPECT_EQ(ntohs(tp.xt_inp.inp_inc.inc_ie.ie_fport), 2000 + s.host);
    }
}

// Text tables do not say whether an IPv6 socket is IPV6_V6ONLY: a wildcard
// one that is not connected is taken as the host makes new sockets
// (net.ipv6.bindv6only), and as IPv6 only where the host does not say.
// A dual-stack one carries both flags, as tcp6_usr_bind and udp6_bind
// mark it; a bound address or a peer makes it IPv6 only all the same.
TEST_F(SocketTree, WildcardIpv6SocketsFollowTheHostsDefaultWhereTheTextDoesNotSay) {
    const std::string any6 = "00000000000000000000000000000000", one6 = "00000000000000000000000001000000";
    struct Row {
        const char* bindv6only;  // nullptr: the host does not show it
        int listener_flags, bound_flags, connected_flags;
    };
    const int both = kInpIpv4 | kInpIpv6;
    const Row rows[] = {
        {"0\n", both, kInpIpv6, kInpIpv6},
        {"1\n", kInpIpv6, kInpIpv6, kInpIpv6},
        {nullptr, kInpIpv6, kInpIpv6, kInpIpv6},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bindv6only == nullptr ? "not shown" : row.bindv6only);
        fs::remove_all(root_ / "proc");
        std::string tcp6 = kInetHeading;
        tcp6 += inet_row(0, any6 + ":1F90", any6 + ":0000", 0x0A, 301);  // listening on [::]:8080
        tcp6 += inet_row(1, one6 + ":1F91", any6 + ":0000", 0x0A, 302);  // listening on [::1]:8081
        tcp6 += inet_row(2, any6 + ":1F92", one6 + ":0050", 0x01, 303);  // connected from ::
        write_file("proc/net/tcp", kInetHeading);
        write_file("proc/net/tcp6", tcp6);
        if (row.bindv6only != nullptr) write_file("proc/sys/net/ipv6/bindv6only", row.bindv6only);
        use_as_root();
        const auto records = tcp_records(read_node("net.inet.tcp.pcblist"));
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(records[0].xt_inp.inp_vflag, row.listener_flags);
        EXPECT_EQ(records[1].xt_inp.inp_vflag, row.bound_flags);
        EXPECT_EQ(records[2].xt_inp.inp_vflag, row.connected_flags);
        for (const auto& tp : records) EXPECT_EQ(tp.xt_inp.xi_socket.xso_family, kInet6);
        norvik_script_reset();
    }
}

// tcp_pcblist and udp_pcblist answer a size question with the count plus an
// eighth (at least ten) records and both ends; unp_pcblist with the count
// plus an eighth. Readers are written for answers larger than the copy.
TEST_F(SocketTree, SizeAnswersCarryFreebsdsSlack) {
    std::string tcp = kInetHeading, udp = kInetHeading;
    for (int i = 0; i < 40; ++i) tcp += inet_row(i, "0100007F:0050", "0100007F:1000", 0x01, 500 + i);
    for (int i = 0; i < 3; ++i) udp += inet_row(i, "0100007F:0035", "00000000:0000", 0x07, 600 + i);
    std::string unix_table = "Num       RefCount Protocol Flags    Type St Inode Path\n";
    for (int i = 0; i < 17; ++i)
        unix_table +=
            "0000000000000000: 00000002 00000000 00010000 0001 01 " + std::to_string(700 + i) + "\n";
    write_file("proc/net/tcp", tcp);
    write_file("proc/net/tcp6", kInetHeading);
    write_file("proc/net/udp", udp);
    write_file("proc/net/udp6", kInetHeading);
    write_file("proc/net/unix", unix_table);
    use_as_root();
    struct Case {
        const char* node;
        std::size_t rows, slack, record, end;
    };
    const Case cases[] = {
        {"net.inet.tcp.pcblist", 40, 10, sizeof(freebsd::xtcpcb), sizeof(freebsd::xinpgen)},
        {"net.inet.udp.pcblist", 3, 10, sizeof(freebsd::xinpcb), sizeof(freebsd::xinpgen)},
        {"net.local.stream.pcblist", 17, 2, sizeof(freebsd::xunpcb), sizeof(freebsd::xunpgen)},
    };
    for (const Case& c : cases) {
        std::size_t size = 0;
        const std::string list = read_node(c.node, &size);
        EXPECT_EQ(size, 2 * c.end + (c.rows + c.slack) * c.record) << c.node;
        EXPECT_EQ(list.size(), 2 * c.end + c.rows * c.record) << c.node;
    }
}

// A captured process table for kern.file and kern.proc.proc: processes with
// one socket each, their descriptor slots in status.
class ProcessTableTree : public CapturedTreeTest {
protected:
    void process(int pid, const std::string& fdsize) {
        const fs::path dir = root_ / "proc" / std::to_string(pid);
        fs::create_directories(dir / "fd");
        write_file(fs::path("proc") / std::to_string(pid) / "stat",
                   std::to_string(pid) +
                       " (p) S 1 1 1 0 -1 4194304 0 0 0 0 0 0 0 0 20 0 1 0 0 0 0 0 0 0 0 0 0 0 0 "
                       "0 0 0 0 0 0 0 0 0\n");
        write_file(fs::path("proc") / std::to_string(pid) / "status",
                   "Name:\tp\nTgid:\t" + std::to_string(pid) + "\nUid:\t0\t0\t0\t0\n" + fdsize);
        fs::create_symlink("socket:[" + std::to_string(9000 + pid) + "]", dir / "fd" / "3");
        fs::create_symlink("/", dir / "fd" / "7");
    }
    std::vector<int> file_table_pids() {
        const std::string table = read_node("kern.file");
        std::vector<int> pids;
        for (std::size_t pos = 0; pos + sizeof(freebsd::xfile) <= table.size();
             pos += sizeof(freebsd::xfile)) {
            freebsd::xfile xf;
            std::memcpy(&xf, table.data() + pos, sizeof xf);
            if (pids.empty() || pids.back() != xf.xf_pid) pids.push_back(xf.xf_pid);
        }
        return pids;
    }
};

// FreeBSD's fork puts each new process at the head of the process list, so
// kern.file meets the newest process first. The host gives pids in a cycle
// from the last one given: the newest is that one, the older ones follow
// downwards, wrapping from the lowest to the highest.
TEST_F(ProcessTableTree, OpenFilesListTheNewestProcessFirst) {
    for (int pid : {120, 150, 151, 300, 399}) process(pid, "FDSize:\t64\n");
    use_as_root();
    struct Case {
        const char* last_pid;  // nullptr: no such file
        const char* pid_max;
        std::vector<int> order;
    };
    const Case cases[] = {
        {"150\n", "400\n", {150, 120, 399, 300, 151}},
        {"399\n", "400\n", {399, 300, 151, 150, 120}},
        {"120\n", "32768\n", {120, 399, 300, 151, 150}},
        {nullptr, nullptr, {399, 300, 151, 150, 120}},  // the highest pid counts as the last one given
    };
    for (const Case& c : cases) {
        std::error_code ignored;
        fs::remove(root_ / "proc/sys/kernel/ns_last_pid", ignored);
        fs::remove(root_ / "proc/sys/kernel/pid_max", ignored);
        if (c.last_pid != nullptr) {
            write_file("proc/sys/kernel/ns_last_pid", c.last_pid);
            write_file("proc/sys/kernel/pid_max", c.pid_max);
        }
        EXPECT_EQ(file_table_pids(), c.order) << (c.last_pid ? c.last_pid : "none");
    }
}

// kern.file is sized from the descriptor slots (FDSize), the open
// descriptors where status has none; the process table with five records
// of slack.
TEST_F(ProcessTableTree, SizeAnswersOfTheProcessTables) {
    process(10, "FDSize:\t64\n");
    process(11, "FDSize:\t256\n");
    process(12, "");
    use_as_root();
    std::size_t size = 0;
    const std::string table = read_node("kern.file", &size);
    EXPECT_EQ(size, (64 + 256 + 2) * sizeof(freebsd::xfile));
    EXPECT_EQ(table.size(), 3 * 2 * sizeof(freebsd::xfile));
    int mib[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PROC, 0};
    ASSERT_EQ(freebsd::sysctl(mib, 4, nullptr, &size, nullptr, 0), 0);
    EXPECT_EQ(size, (3 + 5) * sizeof(freebsd::kinfo_proc));
}

}  // namespace
