#include "platform/os/host_name.h"
#include "platform/os/interface_addresses.h"
#include "platform/os/network_path_resolver.h"
#include "platform/platform_test.h"

#include <algorithm>
#include <climits>
#include <net/if.h>
#include <unistd.h>

namespace kestrio::platform::os {
namespace {

using link::InterfaceType;

TEST(HostNameTest, ReadsThePrettyNameAsTheShellWouldAndPrefersItToTheKernelName)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"PRETTY_HOSTNAME=\"스튜디오 · 맥‑북\"", "스튜디오 · 맥‑북"},
        {R"(PRETTY_HOSTNAME="A \"quoted\" \\ \$name C:\temp")", R"(A "quoted" \ $name C:\temp)"},
        {R"(PRETTY_HOSTNAME=Ada\'s\ Laptop)", "Ada's Laptop"},
        {R"(PRETTY_HOSTNAME='a\b')", R"(a\b)"},
        {"PRETTY_HOSTNAME=\"two \\\nlines\"\n", "two lines"},
        {"# PRETTY_HOSTNAME=commented\n; PRETTY_HOSTNAME=also\n\nICON_NAME=computer\n"
         "  PRETTY_HOSTNAME = \"  padded inside  \"   \nNOT_AN_ASSIGNMENT\n",
         "  padded inside  "},
        {"PRETTY_HOSTNAME=first\nPRETTY_HOSTNAME=second\n", "second"},
        {"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
    };
    for (const auto& [text, name] : cases)
        EXPECT_EQ(prettyHostNameFromMachineInfo(text), name) << text;
    test::TemporaryDirectory folder;
    char kernel[HOST_NAME_MAX + 1] = {};
    gethostname(kernel, sizeof kernel - 1);
    const auto file = (folder.path() / "machine-info").string();
    EXPECT_EQ(userVisibleHostName(file), kernel) << "no file";
    std::ofstream(file) << "PRETTY_HOSTNAME=\"Ada's 스튜디오\"\n";
    EXPECT_EQ(userVisibleHostName(file), "Ada's 스튜디오");
}

TEST(NetworkPathResolverTest, ClassifiesByWhatTheKernelSaysOfTheInterface)
{
    // A sysfs class/net folder of our own, laid out as the kernel lays out the real one.
    test::TemporaryDirectory root;
    for (const auto& [name, type, uevent] : std::initializer_list<std::tuple<std::string, const char*, const char*>>{
             {"enp3s0", "1", ""}, {"wlan0", "1", ""}, {"wlp2s0", "1", ""}, {"wwan0", "1", "DEVTYPE=wwan\n"},
             {"rmnet0", "519", "DEVTYPE=wwan\n"}, {"tun0", "65534", ""}, {"lo", "772", ""}, {"odd0", "not a number", ""}}) {
        fs::create_directories(root.path() / name);
        std::ofstream(root.path() / name / "type") << type << "\n";
        std::ofstream(root.path() / name / "uevent") << "INTERFACE=" << name << "\nIFINDEX=7\n" << uevent;
    }
    fs::create_directories(root.path() / "wlan0" / "wireless");
    fs::create_directory_symlink("../../ieee80211/phy0", root.path() / "wlp2s0" / "phy80211");  // dangling
    const unsigned up = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
    const std::tuple<const char*, unsigned, InterfaceType> cases[] = {
        {"enp3s0", up, InterfaceType::wiredEthernet}, {"wlan0", up, InterfaceType::wifi},
        {"wlp2s0", up, InterfaceType::wifi}, {"wwan0", up, InterfaceType::cellular},
        {"rmnet0", up, InterfaceType::cellular}, {"tun0", up | IFF_POINTOPOINT, InterfaceType::other},
        {"lo", IFF_UP | IFF_LOOPBACK, InterfaceType::loopback}, {"enp3s0", up | IFF_LOOPBACK, InterfaceType::loopback},
        {"gone0", IFF_UP, InterfaceType::other}, {"wlan0/../enp3s0", up, InterfaceType::other},
        {"odd0", IFF_UP, InterfaceType::other},
    };
    NetworkPathResolver resolver(root.path());
    for (const auto& [name, flags, type] : cases)
        EXPECT_EQ(resolver.classify(name, flags), type) << name << " " << flags;
}

TEST(NetworkPathResolverTest, ResolvesLoopbackThisMachinesAddressesAndNothingElse)
{
    const auto subnets = interfaceSubnets();
    const auto inSubnet = [&](const asio::ip::address& address, unsigned prefix) {
        return std::any_of(subnets.begin(), subnets.end(), [&](const link::Subnet& subnet) {
            return link::contains(subnet, address) && subnet.prefixLength <= prefix;
        });
    };
    EXPECT_TRUE(inSubnet(asio::ip::make_address("127.255.0.1"), 8));
    // A dual-stack listener sees a viewer on loopback as "::ffff:127.0.0.1".
    for (const char* address : {"127.0.0.1", "127.0.0.53", "::1", "::ffff:127.0.0.1", "0:0:0:0:0:0:0:1"})
        EXPECT_EQ(resolveNetworkPath(address), InterfaceType::loopback) << address;
    const auto held = interfaceAddresses();
    EXPECT_NE(std::find(held.begin(), held.end(), "127.0.0.1"), held.end());
    for (const auto& address : held) {
        EXPECT_TRUE(inSubnet(asio::ip::make_address(address), address.find(':') == std::string::npos ? 32 : 128)) << address;
        if (address.starts_with("127.") || address == "::1")
            continue;
        const auto path = resolveNetworkPath(address);
        EXPECT_NE(path.value_or(InterfaceType::loopback), InterfaceType::loopback) << address;
        EXPECT_TRUE(address.find(':') != std::string::npos || resolveNetworkPath("::ffff:" + address) == path) << address;
        // A link-local address with its link's scope, by name or by index.
        bool scoped = !address.starts_with("fe80:");
        for (unsigned index = 1; index < 64 && !scoped; ++index) {
            char name[IF_NAMESIZE] = {};
            scoped = if_indextoname(index, name) && resolveNetworkPath(address + "%" + name) == path &&
                     resolveNetworkPath(address + "%" + std::to_string(index)) == path;
        }
        EXPECT_TRUE(scoped) << address;
    }
    for (const std::string address : {"203.0.113.77", "2001:db8::77", "::ffff:203.0.113.77", "fe80::dead:beef%lo", "",
                                      "not an address", "192.0.2", "127.1", "[::1]", "127.0.0.1:80"}) {
        const bool ours = std::find(held.begin(), held.end(), address.substr(0, address.find('%'))) != held.end();
        EXPECT_TRUE(ours || !resolveNetworkPath(address)) << '"' << address << '"';
    }
}

}  // namespace
}  // namespace kestrio::platform::os
