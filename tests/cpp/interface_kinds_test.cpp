// Virtual interfaces answer media and the running flag as FreeBSD's drivers
// of the same kind do. The interfaces are made in a network namespace of a
// child process of the test's own (root only), and none has carrier.
#include "freebsd/net/if.h"
#include "freebsd/net/if_media.h"
#include "freebsd/sys/ioctl.h"
#include "freebsd/sys/socket.h"
#include "freebsd/sys/sockio.h"

namespace {
constexpr unsigned long kGetFlags = freebsd::SIOCGIFFLAGS;
constexpr unsigned long kGetMedia = freebsd::SIOCGIFMEDIA;
constexpr unsigned long kGetExtendedMedia = freebsd::SIOCGIFXMEDIA;
constexpr int kAfInet = freebsd::AF_INET;
constexpr int kSockDgram = freebsd::SOCK_DGRAM;
}  // namespace

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "captured_tree.h"

namespace {

// What the stand-in answered about one interface.
struct Answer {
    int media_err = -1;
    int media_active = 0;
    int media_status = 0;
    int xmedia_err = -1;
    bool running = false;
};

constexpr const char* kNames[] = {"nvk9p", "nvk9t", "nvk9r", "nvk9a"};
constexpr int kCount = 4;

int media(int fd, unsigned long request, const char* name, freebsd::ifmediareq& req) {
    std::memset(&req, 0, sizeof req);
    std::strncpy(req.ifm_name, name, sizeof req.ifm_name - 1);
    return freebsd::ioctl(fd, request, &req) == 0 ? 0 : errno;
}

// In the child: make the interfaces, ask about each, write the answers.
[[noreturn]] void ask_in_namespace(int out) {
    // /sys shows the namespace of whoever mounted it: a fresh mount shows
    // this one's interfaces, as `ip netns exec` does.
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) ::_exit(77);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::umount2("/sys", MNT_DETACH) != 0 || ::mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0)
        ::_exit(77);
    const char* const made[] = {
        "ip tuntap add nvk9p mode tap",
        "ip link set nvk9p up",
        "ip tuntap add nvk9t mode tun",
        "ip link set nvk9t up",
        "ip link add nvk9r type bridge",
        "ip link set nvk9r up",
        "ip link add nvk9a type veth peer name nvk9b",
        "ip link set nvk9a up",
    };
    for (const char* command : made) {
        std::string quiet = std::string(command) + " >/dev/null 2>&1";
        if (std::system(quiet.c_str()) != 0) ::_exit(77);
    }
    const int fd = freebsd::socket(kAfInet, kSockDgram, 0);
    if (fd < 0) ::_exit(1);
    Answer answers[kCount];
    for (int i = 0; i < kCount; ++i) {
        freebsd::ifmediareq req;
        answers[i].media_err = media(fd, kGetMedia, kNames[i], req);
        answers[i].media_active = req.ifm_active;
        answers[i].media_status = req.ifm_status;
        answers[i].xmedia_err = media(fd, kGetExtendedMedia, kNames[i], req);
        freebsd::ifreq flags;
        std::memset(&flags, 0, sizeof flags);
        std::strncpy(flags.ifr_name, kNames[i], sizeof flags.ifr_name - 1);
        if (freebsd::ioctl(fd, kGetFlags, &flags) != 0) ::_exit(1);
        answers[i].running = (flags.ifr_ifru.ifru_flags[0] & freebsd::IFF_RUNNING) != 0;
    }
    const bool written = ::write(out, answers, sizeof answers) == static_cast<ssize_t>(sizeof answers);
    ::_exit(written ? 0 : 1);
}

TEST(InterfaceKinds, MediaAndRunningAsFreeBsdsDriversAnswer) {
    if (::geteuid() != 0) GTEST_SKIP() << "namespaces need root";
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipe_fds[0]);
        ask_in_namespace(pipe_fds[1]);
    }
    ::close(pipe_fds[1]);
    Answer answers[kCount];
    const ssize_t got = ::read(pipe_fds[0], answers, sizeof answers);
    ::close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "the host refused the namespace or an interface";
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof answers));
    struct Expected {
        int media_err;  // of both media requests
        int active, status;
        bool running;
        const char* why;
    };
    const Expected expected[kCount] = {
        {0, freebsd::IFM_ETHER | freebsd::IFM_AUTO, freebsd::IFM_AVALID, true,
         "a tap: Ethernet autoselect, not active (nobody holds it open); up, so running"},
        {EINVAL, 0, 0, false, "a layer-3 tun: no media; runs only while held open"},
        {EINVAL, 0, 0, true, "a bridge: no media; runs when up"},
        {0, freebsd::IFM_ETHER | freebsd::IFM_10G_T | freebsd::IFM_FDX, freebsd::IFM_AVALID, true,
         "a veth whose peer is down: an epair's 10GBASE-T full duplex, without carrier, running all the "
         "same"},
    };
    for (int i = 0; i < kCount; ++i) {
        const Answer& got_one = answers[i];
        const Expected& want = expected[i];
        SCOPED_TRACE(want.why);
        EXPECT_EQ(got_one.media_err, want.media_err);
        EXPECT_EQ(got_one.xmedia_err, want.media_err);
        if (want.media_err == 0) {
            EXPECT_EQ(got_one.media_active, want.active);
            EXPECT_EQ(got_one.media_status, want.status);
        }
        EXPECT_EQ(got_one.running, want.running);
    }
}

// The media of a device by its host driver, from captured /sys/class/net
// folders. The request is made for "lo", which the host has in every
// namespace (the name must be one of the host's interfaces) and which has
// no ethtool driver of its own, so the captured folder alone decides.
class CapturedMedia : public CapturedTreeTest {
protected:
    void link(const std::string& driver, const std::string& speed, const std::string& duplex,
              const char* carrier) {
        const std::filesystem::path base = root_ / "sys/class/net/lo";
        std::filesystem::create_directories(base / "device");
        std::filesystem::create_directories(root_ / "sys/bus/pci/drivers" / driver);
        std::filesystem::create_symlink("../../../../bus/pci/drivers/" + driver, base / "device/driver");
        write_file("sys/class/net/lo/speed", speed + "\n");
        write_file("sys/class/net/lo/duplex", duplex + "\n");
        if (carrier != nullptr) write_file("sys/class/net/lo/carrier", std::string(carrier) + "\n");
    }
};

TEST_F(CapturedMedia, VirtioAnswersVtnetsMadeUpMediaAndOthersTheirLinkSettings) {
    struct Row {
        const char* driver;
        const char* speed;
        const char* duplex;
        const char* carrier;  // nullptr: the host shows none (the interface is down)
        int active, status;
        const char* why;
    };
    const Row rows[] = {
        {"virtio_net", "-1", "unknown", "1", freebsd::IFM_ETHER | freebsd::IFM_10G_T | freebsd::IFM_FDX,
         freebsd::IFM_AVALID | freebsd::IFM_ACTIVE, "virtio, link up: vtnet's 10GBASE-T full duplex"},
        {"virtio_net", "-1", "unknown", "0", freebsd::IFM_ETHER | freebsd::IFM_NONE, freebsd::IFM_AVALID,
         "virtio, link down: no active media"},
        {"virtio_net", "-1", "unknown", nullptr, freebsd::IFM_ETHER | freebsd::IFM_NONE, freebsd::IFM_AVALID,
         "virtio, interface down: no carrier shown, so no active media"},
        {"e1000e", "1000", "full", "1", freebsd::IFM_ETHER | freebsd::IFM_1000_T | freebsd::IFM_FDX,
         freebsd::IFM_AVALID | freebsd::IFM_ACTIVE, "another NIC: the host's speed and duplex"},
        {"e1000e", "-1", "unknown", "0", freebsd::IFM_ETHER | freebsd::IFM_NONE, freebsd::IFM_AVALID,
         "another NIC without link: no speed"},
    };
    const int fd = freebsd::socket(kAfInet, kSockDgram, 0);
    ASSERT_GE(fd, 0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        std::filesystem::remove_all(root_ / "sys");
        link(row.driver, row.speed, row.duplex, row.carrier);
        use_as_root();
        freebsd::ifmediareq req;
        ASSERT_EQ(media(fd, kGetMedia, "lo", req), 0);
        EXPECT_EQ(req.ifm_active, row.active);
        EXPECT_EQ(req.ifm_status, row.status);
        EXPECT_EQ(req.ifm_count, 1);
        norvik_script_reset();
    }
    ::close(fd);
}

}  // namespace
