#include "platform/linux/network_path_resolver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kestrio::platform {
namespace {

using link::InterfaceType;

// A sysfs class/net folder of our own, laid out as the kernel lays out the real one.
class FakeSysfsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrio-sysfs-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }

    void TearDown() override { std::filesystem::remove_all(root_); }

    void interface(const std::string& name, const std::string& type, const std::string& uevent = "")
    {
        std::filesystem::create_directories(root_ / name);
        std::ofstream(root_ / name / "type") << type << "\n";
        std::ofstream(root_ / name / "uevent") << "INTERFACE=" << name << "\nIFINDEX=7\n" << uevent;
    }

    std::filesystem::path root_;
};

TEST_F(FakeSysfsTest, ClassifiesByWhatTheKernelSaysOfTheInterface)
{
    interface("enp3s0", "1");
    interface("wlan0", "1", "DEVTYPE=wlan\n");
    std::filesystem::create_directories(root_ / "wlan0" / "wireless");
    interface("wlp2s0", "1");
    std::filesystem::create_directory_symlink("../../ieee80211/phy0", root_ / "wlp2s0" / "phy80211");
    interface("wwan0", "1", "DEVTYPE=wwan\n");
    interface("rmnet0", "519", "DEVTYPE=wwan\n");
    interface("tun0", "65534");
    interface("ppp0", "512");
    interface("lo", "772");

    NetworkPathResolver resolver(root_);
    const unsigned up = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
    EXPECT_EQ(resolver.classify("enp3s0", up), InterfaceType::wiredEthernet);
    EXPECT_EQ(resolver.classify("wlan0", up), InterfaceType::wifi);
    EXPECT_EQ(resolver.classify("wlp2s0", up), InterfaceType::wifi);  // a dangling link still counts
    EXPECT_EQ(resolver.classify("wwan0", up), InterfaceType::cellular);
    EXPECT_EQ(resolver.classify("rmnet0", up), InterfaceType::cellular);
    EXPECT_EQ(resolver.classify("tun0", up | IFF_POINTOPOINT), InterfaceType::other);
    EXPECT_EQ(resolver.classify("ppp0", up | IFF_POINTOPOINT), InterfaceType::other);
    EXPECT_EQ(resolver.classify("lo", IFF_UP | IFF_LOOPBACK), InterfaceType::loopback);
    // The loopback flag wins whatever sysfs says.
    EXPECT_EQ(resolver.classify("enp3s0", up | IFF_LOOPBACK), InterfaceType::loopback);
}

TEST_F(FakeSysfsTest, AnInterfaceSysfsKnowsNothingOfIsOther)
{
    NetworkPathResolver resolver(root_);
    EXPECT_EQ(resolver.classify("gone0", IFF_UP), InterfaceType::other);
    EXPECT_EQ(resolver.classify("../../etc", IFF_UP), InterfaceType::other);
    std::filesystem::create_directories(root_ / "odd0");
    std::ofstream(root_ / "odd0" / "type") << "not a number\n";
    EXPECT_EQ(resolver.classify("odd0", IFF_UP), InterfaceType::other);
}

struct LocalAddress {
    std::string text;
    std::string interface;
    int family;
};

std::vector<LocalAddress> nonLoopbackAddresses()
{
    std::vector<LocalAddress> addresses;
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0)
        return addresses;
    for (auto* interface = interfaces; interface; interface = interface->ifa_next) {
        if (!interface->ifa_addr || (interface->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET6_ADDRSTRLEN] = {};
        int family = interface->ifa_addr->sa_family;
        if (family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(interface->ifa_addr)->sin_addr, text, sizeof text);
        else if (family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(interface->ifa_addr)->sin6_addr, text, sizeof text);
        else
            continue;
        addresses.push_back({text, interface->ifa_name, family});
    }
    freeifaddrs(interfaces);
    return addresses;
}

TEST(NetworkPathResolverTest, LoopbackAddressesAreLoopback)
{
    for (const char* address : {"127.0.0.1", "127.0.0.53", "::1", "::ffff:127.0.0.1", "0:0:0:0:0:0:0:1"})
        EXPECT_EQ(resolveNetworkPath(address), InterfaceType::loopback) << address;
}

TEST(NetworkPathResolverTest, ThisMachinesOwnAddressesHaveAPath)
{
    auto addresses = nonLoopbackAddresses();
    if (addresses.empty())
        GTEST_SKIP() << "this machine has no address besides loopback";
    for (const auto& address : addresses) {
        auto path = resolveNetworkPath(address.text);
        ASSERT_TRUE(path.has_value()) << address.text << " on " << address.interface;
        EXPECT_NE(*path, InterfaceType::loopback) << address.text;
        if (address.family == AF_INET) {
            EXPECT_EQ(resolveNetworkPath("::ffff:" + address.text), path) << address.text;
        } else if (address.text.rfind("fe80:", 0) == 0) {
            EXPECT_EQ(resolveNetworkPath(address.text + "%" + address.interface), path) << address.text;
            unsigned index = if_nametoindex(address.interface.c_str());
            EXPECT_EQ(resolveNetworkPath(address.text + "%" + std::to_string(index)), path) << address.text;
        }
    }
}

TEST(NetworkPathResolverTest, AnAddressNoInterfaceHoldsHasNoPath)
{
    auto held = nonLoopbackAddresses();
    for (const char* address : {"203.0.113.77", "2001:db8::77", "::ffff:203.0.113.77", "fe80::dead:beef%lo"}) {
        bool isHeld = false;
        for (const auto& local : held)
            isHeld = isHeld || local.text == address;
        if (!isHeld) {
            EXPECT_EQ(resolveNetworkPath(address), std::nullopt) << address;
        }
    }
    for (const char* text : {"", "not an address", "192.0.2", "127.1", "[::1]", "127.0.0.1:80"})
        EXPECT_EQ(resolveNetworkPath(text), std::nullopt) << '"' << text << '"';
}

// A viewer's connection to a dual-stack listener: the local address the server sees is the
// IPv4-mapped form.
TEST(NetworkPathResolverTest, AcceptedLoopbackConnectionIsLoopback)
{
    int listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    int no = 0;
    ASSERT_EQ(setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no), 0);
    sockaddr_in6 bound{};
    bound.sin6_family = AF_INET6;
    ASSERT_EQ(inet_pton(AF_INET6, "::ffff:127.0.0.1", &bound.sin6_addr), 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t length = sizeof bound;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length), 0);

    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = bound.sin6_port;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
    int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);

    sockaddr_in6 local{};
    length = sizeof local;
    ASSERT_EQ(getsockname(accepted, reinterpret_cast<sockaddr*>(&local), &length), 0);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &local.sin6_addr, text, sizeof text);
    EXPECT_EQ(std::string(text), "::ffff:127.0.0.1");
    EXPECT_EQ(resolveNetworkPath(text), InterfaceType::loopback);

    close(accepted);
    close(client);
    close(listener);
}

}  // namespace
}  // namespace kestrio::platform
