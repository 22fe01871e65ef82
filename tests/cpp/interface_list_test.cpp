// The stand-in's interface list in FreeBSD's framing: the routing messages of
// net.routetable and the getifaddrs list, checked against the host's own
// names and indexes (if_nameindex) and its loopback address.
#include "freebsd/ifaddrs.h"
#include "freebsd/net/if.h"
#include "freebsd/net/if_dl.h"
#include "freebsd/net/route.h"
#include "freebsd/sys/socket.h"
#include "freebsd/sys/sysctl.h"

namespace {
constexpr int kAfInet = freebsd::AF_INET;
constexpr int kAfLink = freebsd::AF_LINK;
constexpr int kPfRoute = freebsd::PF_ROUTE;
}  // namespace

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <string.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "script/script.h"

namespace {

// The host's interfaces by index, from its own C library.
std::map<int, std::string> host_names() {
    std::map<int, std::string> names;
    struct if_nameindex* list = if_nameindex();
    for (auto* p = list; p != nullptr && p->if_index != 0; ++p)
        names[static_cast<int>(p->if_index)] = p->if_name;
    if_freenameindex(list);
    return names;
}

std::string read_iflist(int family) {
    int mib[] = {freebsd::CTL_NET, kPfRoute, 0, family, freebsd::NET_RT_IFLIST, 0};
    size_t len = 0;
    EXPECT_EQ(freebsd::sysctl(mib, 6, nullptr, &len, nullptr, 0), 0);
    std::string buf(len + 4096, '\0');  // room for an interface that comes meanwhile
    len = buf.size();
    EXPECT_EQ(freebsd::sysctl(mib, 6, buf.data(), &len, nullptr, 0), 0);
    buf.resize(len);
    return buf;
}

class InterfaceListTest : public ::testing::Test {
protected:
    void SetUp() override { norvik_script_reset(); }
};

TEST_F(InterfaceListTest, RoutingMessagesFrameEveryInterfaceAndItsAddresses) {
    const std::string buf = read_iflist(0);
    const auto names = host_names();
    std::map<int, std::string> seen;
    int current = 0;
    bool loopback_address = false;
    for (size_t pos = 0; pos < buf.size();) {
        freebsd::if_msghdr msg;
        ASSERT_GE(buf.size() - pos, 4u);
        memcpy(&msg, buf.data() + pos, std::min(sizeof msg, buf.size() - pos));
        ASSERT_GT(msg.ifm_msglen, 0);
        ASSERT_LE(msg.ifm_msglen, buf.size() - pos);
        EXPECT_EQ(msg.ifm_version, freebsd::RTM_VERSION);
        const char* at = buf.data() + pos;
        if (msg.ifm_type == freebsd::RTM_IFINFO) {
            freebsd::sockaddr_dl sdl;
            memcpy(&sdl, at + sizeof msg, sizeof sdl);
            EXPECT_EQ(sdl.sdl_family, kAfLink);
            EXPECT_EQ(msg.ifm_msglen % 8, 0);
            EXPECT_EQ(msg.ifm_data.ifi_datalen, sizeof(freebsd::if_data));
            current = msg.ifm_index;
            seen[current] = std::string(sdl.sdl_data, sdl.sdl_nlen);
        } else {
            ASSERT_EQ(msg.ifm_type, freebsd::RTM_NEWADDR);
            freebsd::ifa_msghdr addr;
            memcpy(&addr, at, sizeof addr);
            EXPECT_EQ(addr.ifam_index, current);  // an interface's addresses follow it
            ASSERT_EQ(addr.ifam_addrs & (freebsd::RTA_NETMASK | freebsd::RTA_IFA),
                      freebsd::RTA_NETMASK | freebsd::RTA_IFA);
            freebsd::sockaddr_in mask, own;
            memcpy(&mask, at + sizeof addr, sizeof mask);
            memcpy(&own, at + sizeof addr + 16, sizeof own);  // the netmask takes 16 bytes
            if (own.sin_family == kAfInet && own.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
                loopback_address = true;
                EXPECT_EQ(mask.sin_addr.s_addr, htonl(0xff000000));
                EXPECT_EQ(names.at(current), "lo");
            }
        }
        pos += msg.ifm_msglen;
    }
    EXPECT_EQ(seen, names);
    EXPECT_TRUE(loopback_address);
}

// The size answer counts without building: it must still be the length of
// the list read right after it (unless an interface came or went between).
TEST_F(InterfaceListTest, TheSizeAnswerIsTheLengthOfTheList) {
    int mib[] = {freebsd::CTL_NET, kPfRoute, 0, 0, freebsd::NET_RT_IFLIST, 0};
    bool equal = false;
    for (int attempt = 0; attempt < 3 && !equal; ++attempt) {
        size_t size = 0;
        ASSERT_EQ(freebsd::sysctl(mib, 6, nullptr, &size, nullptr, 0), 0);
        std::string buf(size + 4096, '\0');
        size_t len = buf.size();
        ASSERT_EQ(freebsd::sysctl(mib, 6, buf.data(), &len, nullptr, 0), 0);
        equal = len == size;
    }
    EXPECT_TRUE(equal);
}

TEST_F(InterfaceListTest, RequestsTheKernelDoesNotServeFail) {
    int other_request[] = {freebsd::CTL_NET, kPfRoute, 0, 0, freebsd::NET_RT_DUMP, 0};
    size_t len = 0;
    EXPECT_EQ(freebsd::sysctl(other_request, 6, nullptr, &len, nullptr, 0), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    int short_name[] = {freebsd::CTL_NET, kPfRoute, 0, 0, freebsd::NET_RT_IFLIST};
    EXPECT_EQ(freebsd::sysctl(short_name, 5, nullptr, &len, nullptr, 0), -1);
}

TEST_F(InterfaceListTest, AFamilyFilterKeepsOnlyThatFamilysAddresses) {
    const std::string all = read_iflist(0);
    const std::string inet = read_iflist(kAfInet);
    EXPECT_LE(inet.size(), all.size());
    for (size_t pos = 0; pos < inet.size();) {
        freebsd::ifa_msghdr msg;
        memcpy(&msg, inet.data() + pos, sizeof msg);
        if (msg.ifam_type == freebsd::RTM_NEWADDR) {
            EXPECT_EQ(inet[pos + sizeof msg + 1], kAfInet);
        }
        pos += msg.ifam_msglen;
    }
}

TEST_F(InterfaceListTest, GetifaddrsListsEachInterfaceLinkFirstInOneBlock) {
    freebsd::ifaddrs* list = nullptr;
    ASSERT_EQ(freebsd::getifaddrs(&list), 0);
    std::unique_ptr<freebsd::ifaddrs, void (*)(freebsd::ifaddrs*)> owned(list, freebsd::freeifaddrs);
    std::vector<std::string> links;
    std::string last;
    for (auto* p = list; p != nullptr; p = p->ifa_next) {
        ASSERT_NE(p->ifa_addr, nullptr);
        if (p->ifa_addr->sa_family == kAfLink) {
            links.push_back(p->ifa_name);
            EXPECT_NE(p->ifa_data, nullptr);
        } else {
            EXPECT_EQ(p->ifa_name, links.back());  // addresses come right after their link
            EXPECT_NE(p->ifa_netmask, nullptr);
        }
    }
    std::vector<std::string> expected;
    for (const auto& [index, name] : host_names()) expected.push_back(name);
    EXPECT_EQ(links, expected);
}

}  // namespace
