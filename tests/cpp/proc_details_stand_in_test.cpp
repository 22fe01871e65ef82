// The stand-in's per-process tables read from captured /proc trees written by
// the test (descriptors, sockets, mappings, argument area, executable path,
// environment), and the descriptor table of this very process, live.
#include "freebsd/base.h"
#include "captured_tree.h"
#include "script/script.h"

// FreeBSD's numbers, taken before the host's socket headers can rewrite them.
namespace {
constexpr int kInet = freebsd::AF_INET;
constexpr int kInet6 = freebsd::AF_INET6;
constexpr int kUnix = freebsd::AF_UNIX;
constexpr int kStream = freebsd::SOCK_STREAM;
constexpr int kDgram = freebsd::SOCK_DGRAM;
constexpr int kRaw = freebsd::SOCK_RAW;
constexpr int kTcp = freebsd::IPPROTO_TCP;
constexpr int kUdp = freebsd::IPPROTO_UDP;
using KinfoFile = freebsd::kinfo_file;
using KinfoVmentry = freebsd::kinfo_vmentry;
}  // namespace

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Freed {
    void operator()(void* p) const { free(p); }
};

// A captured /proc tree for one process, 4242, removed afterwards.
class ProcTree : public CapturedTreeTest {
protected:
    static constexpr int kPid = 4242;

    void SetUp() override {
        CapturedTreeTest::SetUp();
        dir_ = root_ / "proc" / std::to_string(kPid);
        fs::create_directories(dir_ / "fd");
        fs::create_directories(dir_ / "net");
        fs::create_directories(dir_ / "task" / "4242");
        fs::create_directories(dir_ / "task" / "4243");
        write("stat", "4242 (some (name)) S 1 4242 4242 0 -1 4194304 0 0 0 0 0 0 0 0 20 0 1 0 0 0 0\n");
        use_as_root();
    }
    void write(const std::string& name, const std::string& text) {
        write_file(fs::path("proc") / std::to_string(kPid) / name, text);
    }
    void link(const std::string& name, const std::string& target) {
        fs::create_symlink(target, dir_ / name);
    }
    // A real file outside the tree for descriptors that name a path.
    std::string real_file(const std::string& name, std::size_t size) {
        fs::path path = root_ / "files" / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << std::string(size, 'x');
        return path.string();
    }

    fs::path dir_;
};

const KinfoFile* find_fd(const KinfoFile* records, int count, int fd) {
    for (int i = 0; i < count; ++i) {
        if (records[i].kf_fd == fd) return &records[i];
    }
    return nullptr;
}

freebsd::sockaddr_in as_in(const freebsd::sockaddr_storage& ss) {
    freebsd::sockaddr_in sin;
    std::memcpy(&sin, &ss, sizeof sin);
    return sin;
}

freebsd::sockaddr_in6 as_in6(const freebsd::sockaddr_storage& ss) {
    freebsd::sockaddr_in6 sin6;
    std::memcpy(&sin6, &ss, sizeof sin6);
    return sin6;
}

TEST_F(ProcTree, DescriptorTableInFreeBsdOrderAndForm) {
    const std::string regular = real_file("data.bin", 123);
    const std::string long_path = real_file(std::string(250, 'a') + "/" + std::string(250, 'b') + "/" +
                                                std::string(250, 'c') + "/" + std::string(250, 'd') + "/f",
                                            1);
    ASSERT_GE(long_path.size(), 1024u);
    link("exe", "/bin/true");
    link("cwd", (root_ / "files").string());
    link("root", "/");
    link("fd/0", regular);
    link("fd/1", "pipe:[777]");
    link("fd/2", "socket:[111]");
    link("fd/3", "socket:[222]");
    link("fd/4", "socket:[444]");
    link("fd/5", "socket:[445]");
    link("fd/6", "anon_inode:[eventfd]");
    link("fd/7", "socket:[555]");
    link("fd/8", "socket:[999]");
    link("fd/9", "socket:[666]");
    link("fd/10", (root_ / "files").string());
    link("fd/11", long_path);
    link("fd/12", (root_ / "files" / "vanished").string());
    link("fd/13", "socket:[111]");  // the TCP socket of descriptor 2 again
    const std::string marked = real_file("kept (deleted)", 9);
    link("fd/14", marked);  // a real name that ends like the host's mark
    write("net/tcp",
          "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
          "   0: 0100007F:1F90 00000000:0000 0A 00000005:00000007 00:00000000 00000000     0        0 111 1 0 100 0 0 10 0\n");
    write("net/tcp6",
          "  sl  local_address                         remote_address                        st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n");
    write("net/udp6",
          "  sl  local_address                         remote_address                        st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
          "    1: 00000000000000000000000001000000:0035 B80D0120000000000000000001000000:C350 01 00000000:00000000 00:00000000 00000000     0        0 222 2 0 0\n");
    write("net/unix",
          "Num       RefCount Protocol Flags    Type St Inode Path\n"
          "0000000000000000: 00000002 00000000 00010000 0001 01 444 /run/a b.sock\n"
          "0000000000000000: 00000002 00000000 00000000 0005 03 445\n");
    write("net/raw",
          "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
          "    1: 00000000:0001 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 666 2 0 0\n");

    int count = -1;
    std::unique_ptr<KinfoFile, Freed> records(freebsd::kinfo_getfile(kPid, &count));
    ASSERT_NE(records, nullptr);
    const KinfoFile* r = records.get();
    // text, cwd, root, then descriptors 0..14 in order; 12 vanished.
    ASSERT_EQ(count, 3 + 14);
    const int order[] = {-5, -1, -2, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14};
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(r[i].kf_fd, order[i]);
        EXPECT_EQ(r[i].kf_structsize, static_cast<int>(sizeof(KinfoFile)));
    }
    EXPECT_STREQ(r[0].kf_path, "/bin/true");
    EXPECT_EQ(r[0].kf_vnode_type, static_cast<unsigned>(freebsd::KF_VTYPE_VREG));
    EXPECT_STREQ(r[1].kf_path, (root_ / "files").c_str());
    EXPECT_EQ(r[1].kf_vnode_type, static_cast<unsigned>(freebsd::KF_VTYPE_VDIR));
    EXPECT_STREQ(r[2].kf_path, "/");

    const KinfoFile* file = find_fd(r, count, 0);
    EXPECT_EQ(file->kf_type, freebsd::KF_TYPE_VNODE);
    EXPECT_EQ(file->kf_vnode_type, static_cast<unsigned>(freebsd::KF_VTYPE_VREG));
    EXPECT_STREQ(file->kf_path, regular.c_str());
    EXPECT_EQ(file->kf_un.kf_file.kf_file_size, 123u);
    EXPECT_EQ(find_fd(r, count, 1)->kf_type, freebsd::KF_TYPE_PIPE);
    EXPECT_EQ(find_fd(r, count, 6)->kf_type, freebsd::KF_TYPE_EVENTFD);
    EXPECT_EQ(find_fd(r, count, 10)->kf_vnode_type, static_cast<unsigned>(freebsd::KF_VTYPE_VDIR));
    // Beyond the path limit: unnamed, not cut.
    EXPECT_EQ(find_fd(r, count, 11)->kf_vnode_type, static_cast<unsigned>(freebsd::KF_VTYPE_VREG));
    EXPECT_STREQ(find_fd(r, count, 11)->kf_path, "");

    const KinfoFile* tcp = find_fd(r, count, 2);
    EXPECT_EQ(tcp->kf_type, freebsd::KF_TYPE_SOCKET);
    EXPECT_EQ(tcp->kf_sock_domain, kInet);
    EXPECT_EQ(tcp->kf_sock_type, kStream);
    EXPECT_EQ(tcp->kf_sock_protocol, kTcp);
    auto local = as_in(tcp->kf_sa_local);
    EXPECT_EQ(local.sin_len, 16);
    EXPECT_EQ(local.sin_family, kInet);
    EXPECT_EQ(ntohs(local.sin_port), 8080);
    EXPECT_EQ(ntohl(local.sin_addr.s_addr), 0x7F000001u);
    auto peer = as_in(tcp->kf_sa_peer);
    EXPECT_EQ(peer.sin_family, kInet);
    EXPECT_EQ(peer.sin_port, 0);
    EXPECT_EQ(tcp->kf_un.kf_sock.kf_sock_sendq, 5u);
    EXPECT_EQ(tcp->kf_un.kf_sock.kf_sock_recvq, 7u);
    // Every descriptor of the socket is described, not only the first.
    const KinfoFile* again = find_fd(r, count, 13);
    EXPECT_EQ(again->kf_type, freebsd::KF_TYPE_SOCKET);
    EXPECT_EQ(std::memcmp(&again->kf_un.kf_sock, &tcp->kf_un.kf_sock, sizeof tcp->kf_un.kf_sock), 0);
    EXPECT_EQ(again->kf_sock_domain, kInet);

    const KinfoFile* udp6 = find_fd(r, count, 3);
    EXPECT_EQ(udp6->kf_sock_domain, kInet6);
    EXPECT_EQ(udp6->kf_sock_type, kDgram);
    EXPECT_EQ(udp6->kf_sock_protocol, kUdp);
    auto l6 = as_in6(udp6->kf_sa_local);
    auto p6 = as_in6(udp6->kf_sa_peer);
    EXPECT_EQ(l6.sin6_len, 28);
    EXPECT_EQ(ntohs(l6.sin6_port), 53);
    EXPECT_EQ(ntohs(p6.sin6_port), 50000);
    char text[64];
    ASSERT_NE(::inet_ntop(AF_INET6, &l6.sin6_addr, text, sizeof text), nullptr);
    EXPECT_STREQ(text, "::1");
    ASSERT_NE(::inet_ntop(AF_INET6, &p6.sin6_addr, text, sizeof text), nullptr);
    EXPECT_STREQ(text, "2001:db8::1");

    const KinfoFile* bound = find_fd(r, count, 4);
    EXPECT_EQ(bound->kf_sock_domain, kUnix);
    EXPECT_EQ(bound->kf_sock_type, kStream);
    freebsd::sockaddr_un sun;
    std::memcpy(&sun, &bound->kf_sa_local, sizeof sun);
    EXPECT_EQ(sun.sun_family, kUnix);
    EXPECT_EQ(sun.sun_len, 2 + std::strlen("/run/a b.sock"));
    EXPECT_STREQ(sun.sun_path, "/run/a b.sock");

    const KinfoFile* unbound = find_fd(r, count, 5);
    EXPECT_EQ(unbound->kf_sock_domain, kUnix);
    EXPECT_EQ(unbound->kf_sock_type, freebsd::SOCK_SEQPACKET);
    const freebsd::sockaddr_storage zero{};
    EXPECT_EQ(std::memcmp(&unbound->kf_sa_local, &zero, sizeof zero), 0);

    EXPECT_EQ(find_fd(r, count, 7)->kf_sock_domain, 0);  // in no table
    // The process's root is "/": the marked name still names the file.
    EXPECT_STREQ(find_fd(r, count, 14)->kf_path, marked.c_str());
    EXPECT_EQ(find_fd(r, count, 8)->kf_sock_domain, 0);
    const KinfoFile* raw = find_fd(r, count, 9);
    EXPECT_EQ(raw->kf_sock_domain, kInet);
    EXPECT_EQ(raw->kf_sock_type, kRaw);
    EXPECT_EQ(raw->kf_sock_protocol, 1);  // ICMP, where a port would be
}

TEST_F(ProcTree, DescriptorTableRefusesAProcessWithoutWorkingDirectory) {
    // A zombie, or a process gone between the reads: FreeBSD answers ESRCH.
    link("exe", "/bin/true");
    int count = -1;
    errno = 0;
    EXPECT_EQ(freebsd::kinfo_getfile(kPid, &count), nullptr);
    EXPECT_EQ(errno, ESRCH);
    errno = 0;
    EXPECT_EQ(freebsd::kinfo_getfile(4243, &count), nullptr);  // no such folder
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(ProcTree, KernelThreadHasNoTextRecord) {
    link("cwd", "/");
    link("root", "/");
    int count = -1;
    std::unique_ptr<KinfoFile, Freed> records(freebsd::kinfo_getfile(kPid, &count));
    ASSERT_NE(records, nullptr);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(records.get()[0].kf_fd, freebsd::KF_FD_TYPE_CWD);
    EXPECT_EQ(records.get()[1].kf_fd, freebsd::KF_FD_TYPE_ROOT);
}

// FreeBSD puts the controlling terminal's record (-6) after the text and
// before the working directory. Its path comes from a descriptor open on
// the terminal, else the host's name for the device, else the
// pseudo-terminal rule.
TEST_F(ProcTree, ControllingTerminalRecord) {
    link("exe", "/bin/true");
    link("cwd", "/");
    link("root", "/");
    link("fd/0", "/dev/null");
    link("fd/1", "pipe:[5]");
    write_file("sys/dev/char/4:1/uevent", "MAJOR=4\nMINOR=1\nDEVNAME=tty1\n");
    struct stat null_dev{};
    ASSERT_EQ(::stat("/dev/null", &null_dev), 0);
    struct Case {
        unsigned long long tty_nr;
        const char* path;
    };
    const Case cases[] = {
        {null_dev.st_rdev, "/dev/null"},            // the descriptor on it names it
        {(4u << 8) | 1u, "/dev/tty1"},              // /sys/dev/char's DEVNAME
        {(137u << 8) | 5u | (1u << 20), "/dev/pts/517"},  // major 137, minor 261: 256 + 261
    };
    for (const Case& c : cases) {
        write("stat", "4242 (sh) S 1 4242 4242 " + std::to_string(c.tty_nr) +
                          " 4242 4194304 0 0 0 0 0 0 0 0 20 0 1 0 0 0 0\n");
        int count = -1;
        std::unique_ptr<KinfoFile, Freed> records(freebsd::kinfo_getfile(kPid, &count));
        ASSERT_NE(records, nullptr);
        ASSERT_EQ(count, 6) << c.path;
        const KinfoFile* r = records.get();
        EXPECT_EQ(r[0].kf_fd, freebsd::KF_FD_TYPE_TEXT);
        EXPECT_EQ(r[1].kf_fd, freebsd::KF_FD_TYPE_CTTY);
        EXPECT_EQ(r[1].kf_type, freebsd::KF_TYPE_VNODE);
        EXPECT_EQ(r[1].kf_vnode_type, static_cast<unsigned>(freebsd::KF_VTYPE_VCHR));
        EXPECT_EQ(r[1].kf_un.kf_file.kf_file_rdev, c.tty_nr);
        EXPECT_STREQ(r[1].kf_path, c.path);
        EXPECT_EQ(r[2].kf_fd, freebsd::KF_FD_TYPE_CWD);
        EXPECT_EQ(r[3].kf_fd, freebsd::KF_FD_TYPE_ROOT);
        EXPECT_EQ(r[4].kf_fd, 0);
    }
    // No terminal (tty_nr 0), no record.
    write("stat", "4242 (sh) S 1 4242 4242 0 -1 4194304 0 0 0 0 0 0 0 0 20 0 1 0 0 0 0\n");
    int count = -1;
    std::unique_ptr<KinfoFile, Freed> records(freebsd::kinfo_getfile(kPid, &count));
    ASSERT_NE(records, nullptr);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(find_fd(records.get(), count, freebsd::KF_FD_TYPE_CTTY), nullptr);
}

TEST_F(ProcTree, MemoryMapFromSmaps) {
    link("root", "/");
    const std::string marked = real_file("lib (deleted)", 4096);
    struct stat marked_st {};
    ASSERT_EQ(::stat(marked.c_str(), &marked_st), 0);
    const std::string marked_inode = std::to_string(marked_st.st_ino);
    write("smaps",
          "00400000-00452000 r-xp 00000000 08:02 173521      /usr/bin/prog name\n"
          "Size:                328 kB\n"
          "Rss:                 200 kB\n"
          "Private_Clean:         8 kB\n"
          "Private_Dirty:         4 kB\n"
          "Anonymous:             0 kB\n"
          "VmFlags: rd ex mr mw me dw\n"
          "00651000-00652000 rw-p 00051000 08:02 173521      /usr/bin/prog name\n"
          "Rss:                   4 kB\n"
          "Private_Dirty:         4 kB\n"
          "Anonymous:             4 kB\n"
          "not a mapping line at all\n"
          "7ffd1000-7ffd2000 rw-s 00000000 00:01 0           [stack]\n"
          "Rss:                   8 kB\n"
          "7fff1000-7fff3000 r-xp 00000000 00:00 0           [vdso]\n"
          "zz-yy rwxp 0 0 0\n"
          "deadbeef rwxp 00000000 00:00 0\n"
          "Rss:                 999 kB\n"
          "ffffffffff600000-ffffffffff601000 --xp 00000000 00:00 0                  [vsyscall]\n"
          "7f0000000000-7f0000001000 ---p 00000000 00:00 0 \n"
          "Rss:                   0 kB\n"
          "Swap:                  0 kB\n"
          "7f0000001000-7f0000003000 ---p 00052000 08:02 173521      /usr/bin/prog name\n"
          "7f0000003000-7f0000004000 ---p 00000000 00:00 0 \n"
          "Rss:                   4 kB\n"
          "7f0000004000-7f0000005000 ---p 00000000 00:00 0 \n"
          "Swap:                  4 kB\n"
          "7f1000000000-7f1000001000 rw-s 00000000 00:01 2050        /dev/zero (deleted)\n"
          "Rss:                   4 kB\n"
          "7f1000001000-7f1000002000 rw-s 00000000 00:01 2051        /memfd:cache (deleted)\n"
          "7f1000002000-7f1000003000 rw-s 00000000 00:19 2052        /dev/shm/segment\n"
          "7f1000003000-7f1000004000 rw-s 00000000 00:01 32769       /SYSV0000abcd (deleted)\n"
          "7f1000004000-7f1000005000 r--p 00000000 08:02 99          /gone/lib.so (deleted)\n"
          "7f1000005000-7f1000006000 r--p 00000000 08:02 " +
              marked_inode + "   " + marked + "\n");
    int count = -1;
    std::unique_ptr<KinfoVmentry, Freed> maps(freebsd::kinfo_getvmmap(kPid, &count));
    ASSERT_NE(maps, nullptr);
    ASSERT_EQ(count, 15);
    const KinfoVmentry* m = maps.get();
    EXPECT_EQ(m[0].kve_start, 0x400000u);
    EXPECT_EQ(m[0].kve_end, 0x452000u);
    EXPECT_EQ(m[0].kve_protection, freebsd::KVME_PROT_READ | freebsd::KVME_PROT_EXEC);
    EXPECT_EQ(m[0].kve_type, freebsd::KVME_TYPE_VNODE);
    EXPECT_STREQ(m[0].kve_path, "/usr/bin/prog name");
    EXPECT_EQ(m[0].kve_vn_fileid, 173521u);
    const int page_kib = static_cast<int>(sysconf(_SC_PAGESIZE) / 1024);
    EXPECT_EQ(m[0].kve_resident, 200 / page_kib);
    // The file's object has no backing object: its resident pages are its
    // own, whoever else maps them.
    EXPECT_EQ(m[0].kve_private_resident, 200 / page_kib);
    EXPECT_EQ(m[0].kve_ref_count, 3);  // three mappings of the same file
    EXPECT_EQ(m[0].kve_shadow_count, 0);
    EXPECT_EQ(m[1].kve_offset, 0x51000u);
    EXPECT_EQ(m[1].kve_ref_count, 3);
    EXPECT_EQ(m[1].kve_shadow_count, 1);      // copied on write
    EXPECT_EQ(m[1].kve_private_resident, 0);  // its top object shadows the file's
    EXPECT_EQ(m[1].kve_flags & freebsd::KVME_FLAG_COW, freebsd::KVME_FLAG_COW);
    EXPECT_EQ(m[2].kve_type, freebsd::KVME_TYPE_SWAP);  // anonymous memory, as FreeBSD 14 keeps it
    EXPECT_STREQ(m[2].kve_path, "");
    EXPECT_EQ(m[2].kve_flags, freebsd::KVME_FLAG_GROWS_DOWN);  // shared: no copy on write
    EXPECT_EQ(m[2].kve_ref_count, 1);
    EXPECT_EQ(m[2].kve_private_resident, 8 / page_kib);
    EXPECT_EQ(m[3].kve_type, freebsd::KVME_TYPE_PHYS);
    EXPECT_EQ(m[4].kve_type, freebsd::KVME_TYPE_PHYS);
    EXPECT_EQ(m[4].kve_start, 0xffffffffff600000u);
    EXPECT_EQ(m[4].kve_protection, freebsd::KVME_PROT_EXEC);

    // No access at all. Anonymous memory without a page never had an
    // object; one with pages (resident or swapped) keeps its swap object; a
    // hole in a file's mapping is the file's. The host has no guard entries.
    struct Case {
        int index;
        int type;
        const char* path;
        int refs;
    };
    const Case no_access[] = {
        {5, freebsd::KVME_TYPE_NONE, "", 0},
        {6, freebsd::KVME_TYPE_VNODE, "/usr/bin/prog name", 3},
        {7, freebsd::KVME_TYPE_SWAP, "", 1},
        {8, freebsd::KVME_TYPE_SWAP, "", 1},
    };
    for (const Case& c : no_access) {
        const KinfoVmentry& e = m[c.index];
        EXPECT_EQ(e.kve_protection, 0) << c.index;
        EXPECT_EQ(e.kve_type, c.type) << c.index;
        EXPECT_STREQ(e.kve_path, c.path) << c.index;
        EXPECT_EQ(e.kve_ref_count, c.refs) << c.index;
        EXPECT_EQ(e.kve_shadow_count, 0) << c.index;
    }
    EXPECT_EQ(m[5].kve_flags, 0);
    EXPECT_EQ(m[5].kve_resident, 0);
    EXPECT_EQ(m[5].kve_private_resident, 0);

    // Shared anonymous memory, memfd, POSIX and System V shared memory are
    // swap objects without a path; a removed file keeps its type and loses
    // its name; a real name that ends in the host's mark keeps it.
    const Case named[] = {
        {9, freebsd::KVME_TYPE_SWAP, "", 1},   {10, freebsd::KVME_TYPE_SWAP, "", 1},
        {11, freebsd::KVME_TYPE_SWAP, "", 1},  {12, freebsd::KVME_TYPE_SWAP, "", 1},
        {13, freebsd::KVME_TYPE_VNODE, "", 1}, {14, freebsd::KVME_TYPE_VNODE, marked.c_str(), 1},
    };
    for (const Case& c : named) {
        EXPECT_EQ(m[c.index].kve_type, c.type) << c.index;
        EXPECT_STREQ(m[c.index].kve_path, c.path) << c.index;
        EXPECT_EQ(m[c.index].kve_ref_count, c.refs) << c.index;
    }
    EXPECT_EQ(m[9].kve_private_resident, 4 / page_kib);
    EXPECT_EQ(m[13].kve_vn_fileid, 99u);
}

TEST_F(ProcTree, EmptyMemoryMapIsAKernelThreadOrAZombie) {
    write("smaps", "");
    int count = -1;
    std::unique_ptr<KinfoVmentry, Freed> maps(freebsd::kinfo_getvmmap(kPid, &count));
    ASSERT_NE(maps, nullptr);
    EXPECT_EQ(count, 0);
    write("stat", "4242 (z) Z 1 0 0 0 -1 0\n");
    errno = 0;
    EXPECT_EQ(freebsd::kinfo_getvmmap(kPid, &count), nullptr);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(ProcTree, ArgumentAreaAndExecutablePath) {
    const std::string area("prog\0\0last arg\0", 15);
    write("cmdline", area);
    char buf[64];
    size_t len = sizeof buf;
    ASSERT_EQ(freebsd::sysctlbyname("kern.proc.args.4242", buf, &len, nullptr, 0), 0);
    EXPECT_EQ(std::string(buf, len), area);

    // No executable link: a kernel thread's is unnamed, a zombie's empty.
    int mib[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PATHNAME, kPid};
    len = sizeof buf;
    EXPECT_EQ(freebsd::sysctl(mib, 4, buf, &len, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    write("stat", "4242 (z) Z 1 0 0 0 -1 0\n");
    len = sizeof buf;
    ASSERT_EQ(freebsd::sysctl(mib, 4, buf, &len, nullptr, 0), 0);
    EXPECT_EQ(len, 0u);

    link("exe", "/usr/bin/prog");
    len = sizeof buf;
    ASSERT_EQ(freebsd::sysctl(mib, 4, buf, &len, nullptr, 0), 0);
    EXPECT_EQ(std::string(buf, len), std::string("/usr/bin/prog\0", 14));

    mib[3] = 4243;
    len = sizeof buf;
    EXPECT_EQ(freebsd::sysctl(mib, 4, buf, &len, nullptr, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(ProcTree, ArgumentAreaSizedAndReadFromOneCopyOnlyForAMoment) {
    write("cmdline", std::string("old\0", 4));
    int mib[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_ARGS, kPid};
    size_t len = 0;
    ASSERT_EQ(freebsd::sysctl(mib, 4, nullptr, &len, nullptr, 0), 0);
    EXPECT_EQ(len, 4u);
    write("cmdline", std::string("newer\0", 6));
    char buf[64];
    // The read right after the size question answers from the area it sized.
    len = sizeof buf;
    ASSERT_EQ(freebsd::sysctl(mib, 4, buf, &len, nullptr, 0), 0);
    EXPECT_EQ(std::string(buf, len), std::string("old\0", 4));
    // Any later read, or one long after a size question, reads afresh.
    len = sizeof buf;
    ASSERT_EQ(freebsd::sysctl(mib, 4, buf, &len, nullptr, 0), 0);
    EXPECT_EQ(std::string(buf, len), std::string("newer\0", 6));
    len = 0;
    ASSERT_EQ(freebsd::sysctl(mib, 4, nullptr, &len, nullptr, 0), 0);
    write("cmdline", std::string("newest\0", 7));
    usleep(60000);
    len = sizeof buf;
    ASSERT_EQ(freebsd::sysctl(mib, 4, buf, &len, nullptr, 0), 0);
    EXPECT_EQ(std::string(buf, len), std::string("newest\0", 7));
}

TEST_F(ProcTree, ExecutablePathBeyondTheLimitIsUnnamed) {
    link("exe", "/" + std::string(200, 'p') + "/" + std::string(200, 'p') + "/" + std::string(200, 'p') + "/" +
                    std::string(200, 'p') + "/" + std::string(200, 'p') + "/" + std::string(100, 'p'));
    int mib[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PATHNAME, kPid};
    char buf[1024];
    size_t len = sizeof buf;
    EXPECT_EQ(freebsd::sysctl(mib, 4, buf, &len, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(ProcTree, ThreadRecordsAreSizedByTheTaskListing) {
    int mib[4] = {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID | freebsd::KERN_PROC_INC_THREAD,
                  kPid};
    size_t len = 0;
    ASSERT_EQ(freebsd::sysctl(mib, 4, nullptr, &len, nullptr, 0), 0);
    EXPECT_EQ(len, (2 + 5) * sizeof(freebsd::kinfo_proc));  // FreeBSD's five records of slack
}

TEST_F(ProcTree, EnvironmentStrings) {
    write("environ", std::string("A=1\0B=2=3\0\0C=unterminated", 25));
    freebsd::kinfo_proc p{};
    p.ki_pid = kPid;
    p.ki_stat = freebsd::SSLEEP;
    char errbuf[2048];
    freebsd::kvm_t* kd = freebsd::kvm_openfiles(nullptr, "/dev/null", nullptr, 0, errbuf);
    ASSERT_NE(kd, nullptr);
    char** env = freebsd::kvm_getenvv(kd, &p, 0);
    ASSERT_NE(env, nullptr);
    std::vector<std::string> got;
    for (char** e = env; *e != nullptr; ++e) got.emplace_back(*e);
    EXPECT_EQ(got, (std::vector<std::string>{"A=1", "B=2=3", "", "C=unterminated"}));
    // A length limit cuts the strings there.
    env = freebsd::kvm_getenvv(kd, &p, 6);
    got.clear();
    for (char** e = env; *e != nullptr; ++e) got.emplace_back(*e);
    EXPECT_EQ(got, (std::vector<std::string>{"A=1", "B="}));
    // FreeBSD does not read an exiting process.
    p.ki_stat = freebsd::SZOMB;
    errno = 0;
    EXPECT_EQ(freebsd::kvm_getenvv(kd, &p, 0), nullptr);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_NE(std::strstr(freebsd::kvm_geterr(kd), "kvm_getenvv"), nullptr);
    p.ki_stat = freebsd::SSLEEP;
    p.ki_pid = 4243;
    EXPECT_EQ(freebsd::kvm_getenvv(kd, &p, 0), nullptr);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(freebsd::kvm_close(kd), 0);
}

TEST(ScriptedLibraryCalls, AnswersAndFailuresComeFirst) {
    const int pid = getpid();
    const std::string key = "kinfo_getfile." + std::to_string(pid);
    ASSERT_EQ(norvik_script_fail_on(key.c_str(), 3, 0, 0, 1), 0);
    int count = -1;
    errno = EINVAL;
    EXPECT_EQ(freebsd::kinfo_getfile(pid, &count), nullptr);
    EXPECT_EQ(errno, 0);  // the library may fail without an errno
    std::string records(2 * sizeof(KinfoFile) + 5, '\0');
    reinterpret_cast<KinfoFile*>(records.data())[1].kf_fd = 77;
    ASSERT_EQ(norvik_script_answer(key.c_str(), records.data(), records.size()), 0);
    std::unique_ptr<KinfoFile, Freed> got(freebsd::kinfo_getfile(pid, &count));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(got.get()[1].kf_fd, 77);
    EXPECT_EQ(norvik_script_count(key.c_str(), 3), 2);
    norvik_script_reset();
}

// ---- This process, live --------------------------------------------------

class OwnSockets : public ::testing::Test {
protected:
    void TearDown() override {
        for (int fd : fds_) close(fd);
    }
    int keep(int fd) {
        fds_.push_back(fd);
        return fd;
    }
    std::vector<int> fds_;
};

TEST_F(OwnSockets, SocketRecordsCarryFreeBsdAddresses) {
    int tcp = keep(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(tcp, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    ASSERT_EQ(listen(tcp, 1), 0);
    socklen_t sl = sizeof sin;
    getsockname(tcp, reinterpret_cast<sockaddr*>(&sin), &sl);

    int udp6 = keep(socket(AF_INET6, SOCK_DGRAM, 0));
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = in6addr_loopback;
    const bool have_v6 = bind(udp6, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) == 0;
    sl = sizeof sin6;
    getsockname(udp6, reinterpret_cast<sockaddr*>(&sin6), &sl);

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    keep(pair[0]);
    keep(pair[1]);
    int file = keep(open("/proc/self/status", O_RDONLY));

    int count = -1;
    std::unique_ptr<KinfoFile, Freed> records(freebsd::kinfo_getfile(getpid(), &count));
    ASSERT_NE(records, nullptr);
    const KinfoFile* r = records.get();

    const KinfoFile* t = find_fd(r, count, tcp);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->kf_type, freebsd::KF_TYPE_SOCKET);
    EXPECT_EQ(t->kf_sock_domain, kInet);
    EXPECT_EQ(t->kf_sock_type, kStream);
    EXPECT_EQ(t->kf_sock_protocol, kTcp);
    EXPECT_EQ(as_in(t->kf_sa_local).sin_port, sin.sin_port);
    EXPECT_EQ(as_in(t->kf_sa_local).sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    if (have_v6) {
        const KinfoFile* u = find_fd(r, count, udp6);
        ASSERT_NE(u, nullptr);
        EXPECT_EQ(u->kf_sock_domain, kInet6);
        EXPECT_EQ(u->kf_sock_type, kDgram);
        EXPECT_EQ(as_in6(u->kf_sa_local).sin6_port, sin6.sin6_port);
        const auto u6 = as_in6(u->kf_sa_local);
        EXPECT_EQ(std::memcmp(&u6.sin6_addr, &in6addr_loopback, 16), 0);
    }
    const KinfoFile* un = find_fd(r, count, pair[0]);
    ASSERT_NE(un, nullptr);
    EXPECT_EQ(un->kf_sock_domain, kUnix);
    EXPECT_EQ(un->kf_sock_type, kDgram);

    const KinfoFile* f = find_fd(r, count, file);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->kf_type, freebsd::KF_TYPE_VNODE);
    EXPECT_EQ(f->kf_vnode_type, static_cast<unsigned>(freebsd::KF_VTYPE_VREG));
    EXPECT_EQ(std::string(f->kf_path), "/proc/" + std::to_string(getpid()) + "/status");
}

// As export_file_to_kinfo and export_vnode_to_kinfo: every record whose
// fill succeeded is KF_ATTR_VALID, and a record with a vnode (the text,
// working directory and root, files, folders, devices, FIFOs) carries the
// vnode's mode, file id, size and file system id, here those stat gives.
TEST_F(OwnSockets, DescribedRecordsAreValidAndVnodesCarryTheirAttributes) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    keep(pipe_fds[0]);
    keep(pipe_fds[1]);
    const int sock = keep(socket(AF_INET, SOCK_DGRAM, 0));
    const int file = keep(open("/proc/self/status", O_RDONLY));
    const int dir = keep(open("/", O_RDONLY | O_DIRECTORY));
    const int dev = keep(open("/dev/null", O_RDONLY));
    char fifo_dir[] = "/tmp/norvik-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(fifo_dir), nullptr);
    const std::string fifo_path = std::string(fifo_dir) + "/f";
    ASSERT_EQ(mkfifo(fifo_path.c_str(), 0600), 0);
    const int fifo = keep(open(fifo_path.c_str(), O_RDWR));
    unlink(fifo_path.c_str());
    rmdir(fifo_dir);

    struct Case {
        int fd;
        const char* stat_path;  // what stat describes, or nullptr: no vnode
        int type;
    };
    auto self = [](const std::string& name) { return "/proc/self/" + name; };
    const std::string text = self("exe"), cwd = self("cwd"), root = self("root");
    const std::string file_link = self("fd/" + std::to_string(file)),
                      dir_link = self("fd/" + std::to_string(dir)),
                      dev_link = self("fd/" + std::to_string(dev)),
                      fifo_link = self("fd/" + std::to_string(fifo));
    const Case cases[] = {
        {freebsd::KF_FD_TYPE_TEXT, text.c_str(), freebsd::KF_TYPE_VNODE},
        {freebsd::KF_FD_TYPE_CWD, cwd.c_str(), freebsd::KF_TYPE_VNODE},
        {freebsd::KF_FD_TYPE_ROOT, root.c_str(), freebsd::KF_TYPE_VNODE},
        {file, file_link.c_str(), freebsd::KF_TYPE_VNODE},
        {dir, dir_link.c_str(), freebsd::KF_TYPE_VNODE},
        {dev, dev_link.c_str(), freebsd::KF_TYPE_VNODE},
        {fifo, fifo_link.c_str(), freebsd::KF_TYPE_FIFO},
        {pipe_fds[0], nullptr, freebsd::KF_TYPE_PIPE},
        {pipe_fds[1], nullptr, freebsd::KF_TYPE_PIPE},
        {sock, nullptr, freebsd::KF_TYPE_SOCKET},
    };
    int count = -1;
    std::unique_ptr<KinfoFile, Freed> records(freebsd::kinfo_getfile(getpid(), &count));
    ASSERT_NE(records, nullptr);
    for (const Case& c : cases) {
        const KinfoFile* kf = find_fd(records.get(), count, c.fd);
        ASSERT_NE(kf, nullptr) << c.fd;
        EXPECT_EQ(kf->kf_type, c.type) << c.fd;
        EXPECT_EQ(kf->kf_status & 0x1, 0x1) << c.fd;  // KF_ATTR_VALID
        if (c.stat_path == nullptr) continue;
        struct stat st {};
        ASSERT_EQ(::stat(c.stat_path, &st), 0) << c.stat_path;
        const auto& vn = kf->kf_un.kf_file;
        EXPECT_EQ(vn.kf_file_mode, static_cast<std::uint16_t>(st.st_mode)) << c.fd;
        EXPECT_EQ(vn.kf_file_fileid, st.st_ino) << c.fd;
        EXPECT_EQ(vn.kf_file_size, static_cast<std::uint64_t>(st.st_size)) << c.fd;
        EXPECT_EQ(vn.kf_file_fsid, st.st_dev) << c.fd;
    }
    // The cwd record is a folder's, as FreeBSD's own test asks of it.
    EXPECT_TRUE(S_ISDIR(find_fd(records.get(), count, freebsd::KF_FD_TYPE_CWD)->kf_un.kf_file.kf_file_mode));
}

}  // namespace
