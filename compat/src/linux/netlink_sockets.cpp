#include "linux/netlink_sockets.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>

#include "linux/host_files.h"

namespace compat {
namespace {

// The kernel hands a dump over in batches of at most 32 KiB.
constexpr std::size_t kReceiveSize = 64 * 1024;

std::atomic<std::uint32_t> next_sequence{1};

// A netlink socket this process may not have, or a kernel without one.
bool absent_socket(int err) {
    return err == EAFNOSUPPORT || err == EPROTONOSUPPORT || err == EPERM || err == EACCES;
}

// What the kernel's error record means: no handler for the family or
// protocol asked (ENOENT) is an absent table, anything else a failure.
int error_record(const nlmsghdr& msg) {
    if (msg.nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return EPROTO;
    nlmsgerr err;
    std::memcpy(&err, NLMSG_DATA(&msg), sizeof err);
    if (err.error == -ENOENT || err.error == -EOPNOTSUPP) return kDiagAbsent;
    return err.error < 0 ? -err.error : EPROTO;
}

// What a record handler answers besides an errno of its own.
constexpr int kGoOn = 0;
constexpr int kStop = -2;

// Sends one dump request and calls record(msg) for each record of the
// answer while it answers kGoOn. Returns 0, kDiagAbsent or an errno.
template <typename Request, typename Record>
int dump(const Request& request, std::uint16_t type, Record record) {
    Fd sock(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!sock.valid()) return absent_socket(errno) ? kDiagAbsent : errno;

    const std::uint32_t sequence = next_sequence.fetch_add(1, std::memory_order_relaxed);
    struct {
        nlmsghdr header;
        Request body;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = type;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = sequence;
    message.body = request;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    while (::sendto(sock.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                    sizeof kernel) < 0) {
        if (errno != EINTR) return errno;
    }

    // Heap memory: callers may run on small thread stacks.
    std::unique_ptr<char[]> buffer(new char[kReceiveSize]);
    for (;;) {
        iovec io{buffer.get(), kReceiveSize};
        msghdr header{};
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        const ssize_t got = ::recvmsg(sock.get(), &header, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if ((header.msg_flags & MSG_TRUNC) != 0) return EMSGSIZE;
        if (got == 0) return EPROTO;  // the answer ended without its end record
        auto left = static_cast<unsigned>(got);
        for (auto* msg = reinterpret_cast<const nlmsghdr*>(buffer.get()); NLMSG_OK(msg, left);
             msg = NLMSG_NEXT(msg, left)) {
            if (msg->nlmsg_seq != sequence) continue;  // not an answer to this request
            if (msg->nlmsg_type == NLMSG_DONE) {
                int status = 0;
                if (msg->nlmsg_len >= NLMSG_LENGTH(sizeof status))
                    std::memcpy(&status, NLMSG_DATA(msg), sizeof status);
                return status < 0 ? -status : 0;
            }
            if (msg->nlmsg_type == NLMSG_ERROR) return error_record(*msg);
            if ((msg->nlmsg_flags & NLM_F_DUMP_INTR) != 0) return EAGAIN;
            // Closing the socket drops the rest of a dump stopped early.
            if (const int outcome = record(*msg); outcome != kGoOn) return outcome == kStop ? 0 : outcome;
        }
    }
}

// Calls each(type, data, length) for every attribute after a record's fixed
// part of fixed bytes; the attributes are 4-byte aligned.
template <typename Each>
void each_attribute(const nlmsghdr& msg, std::size_t fixed, Each each) {
    const char* at = static_cast<const char*>(NLMSG_DATA(&msg)) + NLMSG_ALIGN(fixed);
    const char* end = reinterpret_cast<const char*>(&msg) + msg.nlmsg_len;
    while (end - at >= static_cast<std::ptrdiff_t>(NLA_HDRLEN)) {
        nlattr attr;
        std::memcpy(&attr, at, sizeof attr);
        if (attr.nla_len < NLA_HDRLEN || attr.nla_len > end - at) break;
        each(attr.nla_type & NLA_TYPE_MASK, at + NLA_HDRLEN, attr.nla_len - NLA_HDRLEN);
        at += NLA_ALIGN(attr.nla_len);
    }
}

// The records of an inet dump, handed to row.
auto inet_records(const std::function<bool(const DiagInet&)>& row) {
    return [&row, socket = DiagInet{}](const nlmsghdr& msg) mutable {
        if (msg.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return EPROTO;  // cut short
        inet_diag_msg diag;
        std::memcpy(&diag, NLMSG_DATA(&msg), sizeof diag);
        socket.v6 = diag.idiag_family == AF_INET6;
        socket.state = diag.idiag_state;
        socket.sport = diag.id.idiag_sport;
        socket.dport = diag.id.idiag_dport;
        std::memcpy(socket.src, diag.id.idiag_src, sizeof socket.src);
        std::memcpy(socket.dst, diag.id.idiag_dst, sizeof socket.dst);
        socket.rqueue = diag.idiag_rqueue;
        socket.wqueue = diag.idiag_wqueue;
        socket.uid = diag.idiag_uid;
        socket.inode = diag.idiag_inode;
        socket.v6only = -1;
        each_attribute(msg, sizeof diag, [&](unsigned type, const char* data, std::size_t len) {
            if (type == INET_DIAG_SKV6ONLY && len >= 1) socket.v6only = data[0] != 0 ? 1 : 0;
        });
        return row(socket) ? kGoOn : kStop;
    };
}

}  // namespace

int diag_dump_inet(bool v6, int protocol, std::uint32_t states,
                   const std::function<bool(const DiagInet&)>& row) {
    inet_diag_req_v2 request{};
    request.sdiag_family = v6 ? AF_INET6 : AF_INET;
    request.sdiag_protocol = static_cast<std::uint8_t>(protocol);
    request.idiag_states = states;
    return dump(request, SOCK_DIAG_BY_FAMILY, inet_records(row));
}

int diag_dump_tcp(const std::function<bool(const DiagInet&)>& row) {
    inet_diag_req request{};
    request.idiag_states = ~0U;
    const int err = dump(request, TCPDIAG_GETSOCK, inet_records(row));
    // A kernel without the older request refuses it as one it does not know.
    return err == EINVAL ? kDiagAbsent : err;
}

int diag_dump_unix(const std::function<bool(const DiagUnix&)>& row) {
    unix_diag_req request{};
    request.sdiag_family = AF_UNIX;
    request.udiag_states = ~0U;
    request.udiag_show = UDIAG_SHOW_NAME;
    DiagUnix socket;
    return dump(request, SOCK_DIAG_BY_FAMILY, [&](const nlmsghdr& msg) {
        if (msg.nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg))) return EPROTO;
        unix_diag_msg diag;
        std::memcpy(&diag, NLMSG_DATA(&msg), sizeof diag);
        socket.type = diag.udiag_type;
        socket.inode = diag.udiag_ino;
        socket.bound = false;
        socket.name = {};
        each_attribute(msg, sizeof diag, [&](unsigned type, const char* data, std::size_t len) {
            if (type != UNIX_DIAG_NAME) return;
            socket.bound = true;
            socket.name = std::string_view(data, len);
        });
        return row(socket) ? kGoOn : kStop;
    });
}

}  // namespace compat
