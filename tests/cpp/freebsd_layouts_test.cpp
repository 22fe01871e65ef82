// FreeBSD's exported kernel records as this tree declares them, read back
// from raw bytes: each test writes a record (or a list of records) the way
// the kernel lays it out on amd64, byte offset by byte offset, then reads it
// through the declared structure the way the module's readers do.
#include "freebsd/devstat.h"
#include "freebsd/kvm.h"
#include "freebsd/netinet/in_pcb.h"
#include "freebsd/netinet/tcp_var.h"
#include "freebsd/sys/file.h"
#include "freebsd/sys/mount.h"
#include "freebsd/sys/unpcb.h"
#include "freebsd/sys/vmmeter.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Host-order value at a byte offset.
template <class T>
void put(Bytes& buf, std::size_t offset, T value) {
    ASSERT_LE(offset + sizeof value, buf.size());
    std::memcpy(buf.data() + offset, &value, sizeof value);
}

void put_bytes(Bytes& buf, std::size_t offset, const void* data, std::size_t size) {
    ASSERT_LE(offset + size, buf.size());
    std::memcpy(buf.data() + offset, data, size);
}

void put_text(Bytes& buf, std::size_t offset, const std::string& text) {
    put_bytes(buf, offset, text.c_str(), text.size() + 1);
}

// A port as the kernel stores it: network byte order.
void put_port(Bytes& buf, std::size_t offset, unsigned port) {
    const unsigned char wire[2] = {static_cast<unsigned char>(port >> 8),
                                   static_cast<unsigned char>(port & 0xff)};
    put_bytes(buf, offset, wire, sizeof wire);
}

unsigned port_of(std::uint16_t stored) {
    unsigned char wire[2];
    std::memcpy(wire, &stored, sizeof wire);
    return (unsigned{wire[0]} << 8) | wire[1];
}

template <class T>
T record_at(const Bytes& buf, std::size_t offset) {
    T record;
    EXPECT_LE(offset + sizeof record, buf.size());
    std::memcpy(&record, buf.data() + offset, sizeof record);
    return record;
}

std::string dotted(const freebsd::in_addr& address) {
    unsigned char b[4];
    std::memcpy(b, &address.s_addr, sizeof b);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

// kern.file answers an array of 128-byte records, read one after another.
TEST(FreebsdLayout, SystemFileTableRecordsReadAtTheirStride) {
    constexpr std::size_t kRecord = 128;
    Bytes table(3 * kRecord, 0);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t at = i * kRecord;
        put<std::uint64_t>(table, at + 0, kRecord);
        put<std::int32_t>(table, at + 8, 4000 + static_cast<std::int32_t>(i));
        put<std::uint32_t>(table, at + 12, 1001);
        put<std::int32_t>(table, at + 16, static_cast<std::int32_t>(3 + i));
        put<std::int16_t>(table, at + 32, i == 1 ? 2 : 1);
        put<std::int64_t>(table, at + 48, 1 << 20);
        put<std::uint64_t>(table, at + 56, 0xfffff80012345000ULL + i);
        put<std::uint32_t>(table, at + 72, 0x3);
    }

    std::vector<freebsd::xfile> records;
    for (std::size_t i = 0; i < 3; ++i)
        records.push_back(record_at<freebsd::xfile>(table, i * sizeof(freebsd::xfile)));
    for (std::size_t i = 0; i < 3; ++i) {
        const freebsd::xfile& f = records[i];
        EXPECT_EQ(f.xf_size, sizeof(freebsd::xfile));
        EXPECT_EQ(f.xf_pid, 4000 + static_cast<int>(i));
        EXPECT_EQ(f.xf_uid, 1001u);
        EXPECT_EQ(f.xf_fd, static_cast<int>(3 + i));
        EXPECT_EQ(f.xf_offset, 1 << 20);
        EXPECT_EQ(f.xf_data, 0xfffff80012345000ULL + i);
        EXPECT_EQ(f.xf_flag, 0x3u);
    }
    EXPECT_EQ(records[1].xf_type, freebsd::DTYPE_SOCKET);
    EXPECT_EQ(records[2].xf_type, freebsd::DTYPE_VNODE);
}

// net.inet.udp.pcblist: head, one IPv4 and one IPv6 block, tail; the reader
// steps by each record's own length.
TEST(FreebsdLayout, InternetBlocksGiveFamilyPortsAndAddresses) {
    constexpr std::size_t kGen = 64, kBlock = 400;
    Bytes list(kGen + 2 * kBlock + kGen, 0);
    put<std::uint64_t>(list, 0, kGen);
    put<std::uint32_t>(list, 8, 2);
    put<std::uint64_t>(list, 16, 77);

    const unsigned char v4_local[4] = {127, 0, 0, 1};
    const unsigned char v4_remote[4] = {192, 168, 7, 200};
    std::size_t at = kGen;
    put<std::uint64_t>(list, at, kBlock);
    put<std::uint64_t>(list, at + 16, 0xfffff800aaaa0000ULL);  // xi_socket.xso_so
    put<std::int32_t>(list, at + 104, 17);                     // xso_protocol
    put<std::int32_t>(list, at + 108, 2);                      // xso_family
    put<std::int16_t>(list, at + 164, 2);                      // so_type
    put_port(list, at + 252, 53);                              // foreign port
    put_port(list, at + 254, 5353);                            // local port
    put_bytes(list, at + 268, v4_remote, 4);
    put_bytes(list, at + 284, v4_local, 4);
    put<std::uint8_t>(list, at + 392, 0x1);

    unsigned char v6_local[16] = {0xfe, 0x80};
    v6_local[15] = 0x01;
    unsigned char v6_remote[16] = {0x20, 0x01, 0x0d, 0xb8};
    v6_remote[15] = 0x42;
    at += kBlock;
    put<std::uint64_t>(list, at, kBlock);
    put<std::int32_t>(list, at + 108, 28);
    put<std::uint8_t>(list, at + 248, 0x1);  // inc_flags: INC_ISIPV6
    put_port(list, at + 252, 443);
    put_port(list, at + 254, 40000);
    put_bytes(list, at + 256, v6_remote, 16);
    put_bytes(list, at + 272, v6_local, 16);
    put<std::uint32_t>(list, at + 288, 3);  // zone
    put<std::uint8_t>(list, at + 392, 0x2);
    at += kBlock;
    put<std::uint64_t>(list, at, kGen);
    put<std::uint32_t>(list, at + 8, 2);

    const auto head = record_at<freebsd::xinpgen>(list, 0);
    ASSERT_EQ(head.xig_len, sizeof(freebsd::xinpgen));
    EXPECT_EQ(head.xig_count, 2u);
    EXPECT_EQ(head.xig_gen, 77u);

    std::vector<freebsd::xinpcb> blocks;
    std::size_t offset = head.xig_len;
    while (offset + sizeof(std::uint64_t) <= list.size()) {
        std::uint64_t len;
        std::memcpy(&len, list.data() + offset, sizeof len);
        if (len == sizeof(freebsd::xinpgen)) break;
        ASSERT_EQ(len, sizeof(freebsd::xinpcb));
        blocks.push_back(record_at<freebsd::xinpcb>(list, offset));
        offset += len;
    }
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(offset + sizeof(freebsd::xinpgen), list.size());

    const freebsd::xinpcb& v4 = blocks[0];
    EXPECT_TRUE(v4.inp_vflag & freebsd::INP_IPV4);
    EXPECT_FALSE(v4.inp_vflag & freebsd::INP_IPV6);
    EXPECT_EQ(v4.xi_socket.xso_so, 0xfffff800aaaa0000ULL);
    EXPECT_EQ(v4.xi_socket.xso_protocol, 17);
    EXPECT_EQ(v4.xi_socket.xso_family, 2);
    EXPECT_EQ(v4.xi_socket.so_type, 2);
    const freebsd::in_endpoints& e4 = v4.inp_inc.inc_ie;
    EXPECT_EQ(port_of(e4.ie_fport), 53u);
    EXPECT_EQ(port_of(e4.ie_lport), 5353u);
    EXPECT_EQ(dotted(e4.ie_dependladdr.id46_addr.ia46_addr4), "127.0.0.1");
    EXPECT_EQ(dotted(e4.ie_dependfaddr.id46_addr.ia46_addr4), "192.168.7.200");
    // The four address bytes are the tail of the 16-byte slot.
    EXPECT_EQ(e4.ie_dependladdr.id6_addr.s6_addr[12], 127);
    EXPECT_EQ(e4.ie_dependladdr.id46_addr.ia46_pad32[0], 0u);

    const freebsd::xinpcb& v6 = blocks[1];
    EXPECT_TRUE(v6.inp_vflag & freebsd::INP_IPV6);
    EXPECT_TRUE(v6.inp_inc.inc_flags & freebsd::INC_ISIPV6);
    EXPECT_EQ(v6.xi_socket.xso_family, 28);
    const freebsd::in_endpoints& e6 = v6.inp_inc.inc_ie;
    EXPECT_EQ(port_of(e6.ie_fport), 443u);
    EXPECT_EQ(port_of(e6.ie_lport), 40000u);
    EXPECT_EQ(0, std::memcmp(e6.ie_dependladdr.id6_addr.s6_addr, v6_local, 16));
    EXPECT_EQ(0, std::memcmp(e6.ie_dependfaddr.id6_addr.s6_addr, v6_remote, 16));
    EXPECT_EQ(e6.ie6_zoneid, 3u);
}

// net.inet.tcp.pcblist: each record wraps an xinpcb eight bytes in.
TEST(FreebsdLayout, TcpBlocksGiveStateAndTheWrappedEndpoints) {
    constexpr std::size_t kGen = 64, kTcp = 744;
    const int states[] = {freebsd::TCPS_LISTEN, freebsd::TCPS_ESTABLISHED, freebsd::TCPS_TIME_WAIT};
    Bytes list(kGen + 3 * kTcp + kGen, 0);
    put<std::uint64_t>(list, 0, kGen);
    put<std::uint32_t>(list, 8, 3);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t at = kGen + i * kTcp;
        put<std::uint64_t>(list, at, kTcp);
        put<std::uint64_t>(list, at + 8, 400);          // xt_inp.xi_len
        put<std::uint64_t>(list, at + 24, 0x1000 + i);  // xt_inp.xi_socket.xso_so
        put<std::int32_t>(list, at + 112, 6);           // xso_protocol
        put<std::int16_t>(list, at + 172, 1);           // so_type
        put_port(list, at + 260, i == 0 ? 0 : 22);      // foreign
        put_port(list, at + 262, 8000 + static_cast<unsigned>(i));
        const unsigned char local[4] = {10, 0, 0, static_cast<unsigned char>(i + 1)};
        put_bytes(list, at + 292, local, 4);
        put<std::uint8_t>(list, at + 400, 0x1);
        put_text(list, at + 408, "freebsd");
        put_text(list, at + 504, "cubic");
        put<std::int32_t>(list, at + 568, states[i]);
    }
    put<std::uint64_t>(list, kGen + 3 * kTcp, kGen);

    std::size_t offset = record_at<freebsd::xinpgen>(list, 0).xig_len;
    for (std::size_t i = 0; i < 3; ++i) {
        const auto t = record_at<freebsd::xtcpcb>(list, offset);
        ASSERT_EQ(t.xt_len, sizeof(freebsd::xtcpcb));
        EXPECT_EQ(t.xt_inp.xi_len, sizeof(freebsd::xinpcb));
        EXPECT_EQ(t.t_state, states[i]);
        EXPECT_EQ(t.xt_inp.xi_socket.xso_so, 0x1000 + i);
        EXPECT_EQ(t.xt_inp.xi_socket.xso_protocol, 6);
        EXPECT_EQ(t.xt_inp.xi_socket.so_type, 1);
        EXPECT_TRUE(t.xt_inp.inp_vflag & freebsd::INP_IPV4);
        EXPECT_EQ(port_of(t.xt_inp.inp_inc.inc_ie.ie_lport), 8000 + i);
        EXPECT_EQ(port_of(t.xt_inp.inp_inc.inc_ie.ie_fport), i == 0 ? 0u : 22u);
        EXPECT_EQ(dotted(t.xt_inp.inp_inc.inc_ie.ie_dependladdr.id46_addr.ia46_addr4),
                  "10.0.0." + std::to_string(i + 1));
        EXPECT_STREQ(t.xt_stack, "freebsd");
        EXPECT_STREQ(t.xt_cc, "cubic");
        offset += t.xt_len;
    }
    EXPECT_EQ(record_at<freebsd::xinpgen>(list, offset).xig_len, sizeof(freebsd::xinpgen));
}

// A unix-domain record: both addresses in their 256-byte slots, the socket
// record after them. A path that fills sun_path has no NUL; sun_len bounds it.
TEST(FreebsdLayout, UnixBlocksGiveBothAddressesAndTheSocket) {
    constexpr std::size_t kGen = 32, kUnix = 904;
    Bytes list(kGen + kUnix + kGen, 0);
    put<std::uint64_t>(list, 0, kGen);
    put<std::uint32_t>(list, 8, 1);
    put<std::uint64_t>(list, 16, 9);
    put<std::uint64_t>(list, 24, 10);

    const std::size_t at = kGen;
    const std::string own(104, 'p');
    const std::string peer = "/var/run/log";
    put<std::uint64_t>(list, at, kUnix);
    put<std::uint64_t>(list, at + 8, 0xfffff800bbbb0000ULL);   // xu_unpp
    put<std::uint64_t>(list, at + 24, 0xfffff800cccc0000ULL);  // unp_conn
    put<std::uint8_t>(list, at + 152, 106);                    // sun_len
    put<std::uint8_t>(list, at + 153, 1);                      // sun_family
    put_bytes(list, at + 154, own.data(), own.size());
    std::memset(list.data() + at + 258, 'X', 408 - 258);  // rest of the slot
    put<std::uint8_t>(list, at + 408, static_cast<std::uint8_t>(2 + peer.size() + 1));
    put<std::uint8_t>(list, at + 409, 1);
    put_text(list, at + 410, peer);
    put<std::uint64_t>(list, at + 664, 240);                    // xu_socket.xso_len
    put<std::uint64_t>(list, at + 672, 0xfffff800dddd0000ULL);  // xso_so
    put<std::int32_t>(list, at + 764, 1);                       // xso_family
    put<std::int16_t>(list, at + 820, 5);                       // so_type
    put<std::uint64_t>(list, kGen + kUnix, kGen);

    const auto head = record_at<freebsd::xunpgen>(list, 0);
    EXPECT_EQ(head.xug_len, sizeof(freebsd::xunpgen));
    EXPECT_EQ(head.xug_count, 1u);
    EXPECT_EQ(head.xug_gen, 9u);
    EXPECT_EQ(head.xug_sogen, 10u);

    const auto u = record_at<freebsd::xunpcb>(list, head.xug_len);
    ASSERT_EQ(u.xu_len, sizeof(freebsd::xunpcb));
    EXPECT_EQ(u.xu_unpp, 0xfffff800bbbb0000ULL);
    EXPECT_EQ(u.unp_conn, 0xfffff800cccc0000ULL);
    EXPECT_EQ(u.xu_addr.sun_family, 1);
    const std::size_t own_len = u.xu_addr.sun_len - offsetof(freebsd::sockaddr_un, sun_path);
    ASSERT_EQ(own_len, sizeof u.xu_addr.sun_path);
    EXPECT_EQ(std::string(u.xu_addr.sun_path, own_len), own);
    EXPECT_EQ(u.xu_dummy1[sizeof(freebsd::sockaddr_un)], 'X');
    EXPECT_STREQ(u.xu_caddr.sun_path, peer.c_str());
    EXPECT_EQ(u.xu_socket.xso_len, sizeof(freebsd::xsocket));
    EXPECT_EQ(u.xu_socket.xso_so, 0xfffff800dddd0000ULL);
    EXPECT_EQ(u.xu_socket.xso_family, 1);
    EXPECT_EQ(u.xu_socket.so_type, 5);
    EXPECT_EQ(record_at<freebsd::xunpgen>(list, kGen + kUnix).xug_len, sizeof(freebsd::xunpgen));
}

// getfsstat(2) fills an array of records; flags are 64 bits wide.
TEST(FreebsdLayout, MountRecordsGiveNamesAndAllFlagBits) {
    constexpr std::size_t kStatfs = 2344;
    Bytes table(2 * kStatfs, 0);
    const std::string from(1023, 'f');
    const std::string on = "/usr/home";
    put<std::uint32_t>(table, 0, 0x20140518);
    put<std::uint64_t>(table, 8, 0x1000 | 0x1 | 0x100000000ULL);  // LOCAL, RDONLY, SUJ
    put<std::uint64_t>(table, 16, 4096);
    put<std::uint64_t>(table, 32, 1000000);
    put<std::int64_t>(table, 48, -12);
    put<std::int32_t>(table, 192, 0x5a);
    put_text(table, 280, "ufs");
    put_text(table, 296, from);
    put_text(table, 1320, on);
    put<std::uint32_t>(table, kStatfs, 0x20140518);
    put<std::uint64_t>(table, kStatfs + 8, 0x0);
    put_text(table, kStatfs + 280, "devfs");
    put_text(table, kStatfs + 296, "devfs");
    put_text(table, kStatfs + 1320, "/dev");

    const freebsd::statfs mounts[2] = {record_at<freebsd::statfs>(table, 0),
                                       record_at<freebsd::statfs>(table, sizeof(freebsd::statfs))};
    EXPECT_EQ(mounts[0].f_version, freebsd::STATFS_VERSION);
    EXPECT_TRUE(mounts[0].f_flags & freebsd::MNT_RDONLY);
    EXPECT_TRUE(mounts[0].f_flags & freebsd::MNT_LOCAL);
    EXPECT_TRUE(mounts[0].f_flags & freebsd::MNT_SUJ);
    EXPECT_FALSE(mounts[0].f_flags & freebsd::MNT_NOEXEC);
    EXPECT_EQ(mounts[0].f_bsize, 4096u);
    EXPECT_EQ(mounts[0].f_blocks, 1000000u);
    EXPECT_EQ(mounts[0].f_bavail, -12);
    EXPECT_EQ(mounts[0].f_fsid.val[0], 0x5a);
    EXPECT_STREQ(mounts[0].f_fstypename, "ufs");
    EXPECT_EQ(std::string(mounts[0].f_mntfromname), from);
    EXPECT_STREQ(mounts[0].f_mntonname, on.c_str());
    EXPECT_EQ(sizeof mounts[0].f_fstypename, static_cast<std::size_t>(freebsd::MFSNAMELEN));
    EXPECT_EQ(sizeof mounts[0].f_mntonname, static_cast<std::size_t>(freebsd::MNAMELEN));

    EXPECT_EQ(mounts[1].f_version, freebsd::STATFS_VERSION);
    EXPECT_EQ(mounts[1].f_flags, 0u);
    EXPECT_STREQ(mounts[1].f_fstypename, "devfs");
    EXPECT_STREQ(mounts[1].f_mntonname, "/dev");
}

// Device counters: per-direction arrays indexed by DEVSTAT_READ and friends,
// times as seconds plus a binary fraction.
TEST(FreebsdLayout, DeviceCountersReadByDirection) {
    constexpr std::size_t kDevstat = 288;
    Bytes rec(2 * kDevstat, 0);
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t at = i * kDevstat;
        put<std::uint32_t>(rec, at + 0, 5);
        put_text(rec, at + 44, i == 0 ? "ada" : "nvd");
        put<std::int32_t>(rec, at + 60, static_cast<std::int32_t>(i));
        put<std::uint64_t>(rec, at + 72, 1111 + i);     // bytes read
        put<std::uint64_t>(rec, at + 80, 2222 + i);     // bytes written
        put<std::uint64_t>(rec, at + 88, 3333 + i);     // bytes freed
        put<std::uint64_t>(rec, at + 104, 11 + i);      // reads
        put<std::uint64_t>(rec, at + 112, 22 + i);      // writes
        put<std::int64_t>(rec, at + 144, 3);            // duration[READ].sec
        put<std::uint64_t>(rec, at + 152, 1ULL << 63);  // .frac: half a second
        put<std::int64_t>(rec, at + 160, 1);            // duration[WRITE].sec
        put<std::uint64_t>(rec, at + 168, 1ULL << 62);  // a quarter
        put<std::int64_t>(rec, at + 192, 7);            // busy_time.sec
        put<std::uint64_t>(rec, at + 200, 3ULL << 62);  // three quarters
        put<std::uint32_t>(rec, at + 224, 512);
        put<std::int32_t>(rec, at + 260, 0x010 | 0x000);  // SCSI, direct access
        put<std::uint32_t>(rec, at + 280, 5);
    }

    auto seconds = [](const freebsd::bintime& t) {
        return static_cast<double>(t.sec) + static_cast<double>(t.frac) / 18446744073709551616.0;
    };
    freebsd::devstat devices[2] = {record_at<freebsd::devstat>(rec, 0),
                                   record_at<freebsd::devstat>(rec, sizeof(freebsd::devstat))};
    for (std::size_t i = 0; i < 2; ++i) {
        const freebsd::devstat& d = devices[i];
        EXPECT_EQ(d.sequence0, d.sequence1);
        EXPECT_EQ(std::string(d.device_name) + std::to_string(d.unit_number), i == 0 ? "ada0" : "nvd1");
        EXPECT_EQ(d.bytes[freebsd::DEVSTAT_READ], 1111 + i);
        EXPECT_EQ(d.bytes[freebsd::DEVSTAT_WRITE], 2222 + i);
        EXPECT_EQ(d.bytes[freebsd::DEVSTAT_FREE], 3333 + i);
        EXPECT_EQ(d.bytes[freebsd::DEVSTAT_NO_DATA], 0u);
        EXPECT_EQ(d.operations[freebsd::DEVSTAT_READ], 11 + i);
        EXPECT_EQ(d.operations[freebsd::DEVSTAT_WRITE], 22 + i);
        EXPECT_DOUBLE_EQ(seconds(d.duration[freebsd::DEVSTAT_READ]), 3.5);
        EXPECT_DOUBLE_EQ(seconds(d.duration[freebsd::DEVSTAT_WRITE]), 1.25);
        EXPECT_DOUBLE_EQ(seconds(d.busy_time), 7.75);
        EXPECT_EQ(d.block_size, 512u);
        EXPECT_EQ(d.device_type & freebsd::DEVSTAT_TYPE_IF_MASK, freebsd::DEVSTAT_TYPE_IF_SCSI);
        EXPECT_EQ(d.device_type & freebsd::DEVSTAT_TYPE_MASK, freebsd::DEVSTAT_TYPE_DIRECT);
        EXPECT_FALSE(d.device_type & freebsd::DEVSTAT_TYPE_PASS);
    }

    // libdevstat's snapshot points at its device list.
    freebsd::devinfo info{};
    freebsd::statinfo stats{};
    stats.dinfo = &info;
    info.numdevs = 2;
    info.devices = devices;
    Bytes raw(sizeof stats);
    std::memcpy(raw.data(), &stats, sizeof stats);
    freebsd::devinfo* through;
    std::memcpy(&through, raw.data() + 56, sizeof through);
    ASSERT_EQ(through, &info);
    EXPECT_STREQ(through->devices[1].device_name, "nvd");
}

// vm.vmtotal and kvm_getswapinfo() records.
TEST(FreebsdLayout, MemoryTotalsAndSwapRecords) {
    Bytes totals(88, 0);
    put<std::uint64_t>(totals, 0, 900000);
    put<std::uint64_t>(totals, 16, 300000);
    put<std::uint64_t>(totals, 48, 4000);
    put<std::uint64_t>(totals, 64, 120000);
    put<std::int16_t>(totals, 72, 3);
    put<std::int16_t>(totals, 78, 250);
    const auto t = record_at<freebsd::vmtotal>(totals, 0);
    EXPECT_EQ(t.t_vm, 900000u);
    EXPECT_EQ(t.t_rm, 300000u);
    EXPECT_EQ(t.t_rmshr, 4000u);
    EXPECT_EQ(t.t_free, 120000u);
    EXPECT_EQ(t.t_rq, 3);
    EXPECT_EQ(t.t_sl, 250);

    constexpr std::size_t kSwap = 52;
    Bytes swaps(2 * kSwap, 0);
    put_text(swaps, 0, "/dev/ada0p3");
    put<std::uint32_t>(swaps, 32, 1024);
    put<std::uint32_t>(swaps, 36, 0x80000000u);  // above what an int holds
    put_text(swaps, kSwap, "[total]");
    put<std::uint32_t>(swaps, kSwap + 32, 1024);
    const freebsd::kvm_swap entries[2] = {record_at<freebsd::kvm_swap>(swaps, 0),
                                          record_at<freebsd::kvm_swap>(swaps, sizeof(freebsd::kvm_swap))};
    EXPECT_STREQ(entries[0].ksw_devname, "/dev/ada0p3");
    EXPECT_EQ(entries[0].ksw_used, 1024u);
    EXPECT_EQ(entries[0].ksw_total, 0x80000000u);
    EXPECT_STREQ(entries[1].ksw_devname, "[total]");
    EXPECT_EQ(entries[1].ksw_used, 1024u);
}

}  // namespace
