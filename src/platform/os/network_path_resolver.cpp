#include "platform/os/network_path_resolver.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>

namespace kestrio::platform::os {
namespace {

constexpr unsigned short arphrdEther = 1;  // ARPHRD_ETHER in /sys/class/net/IF/type

struct Address {
    int family = AF_UNSPEC;
    std::array<std::uint8_t, 16> bytes{};
    std::uint32_t scope = 0;  // IPv6 scope (interface index), 0 when none was given

    bool isLoopback() const
    {
        if (family == AF_INET)
            return bytes[0] == 127;
        static constexpr std::array<std::uint8_t, 16> loopback6{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        return bytes == loopback6;
    }
};

std::optional<Address> fromSocketAddress(const sockaddr* address)
{
    if (!address)
        return std::nullopt;
    Address result;
    if (address->sa_family == AF_INET) {
        const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
        result.family = AF_INET;
        std::memcpy(result.bytes.data(), &ipv4->sin_addr, 4);
        return result;
    }
    if (address->sa_family == AF_INET6) {
        const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (IN6_IS_ADDR_V4MAPPED(&ipv6->sin6_addr)) {
            result.family = AF_INET;
            std::memcpy(result.bytes.data(), ipv6->sin6_addr.s6_addr + 12, 4);
            return result;
        }
        result.family = AF_INET6;
        std::memcpy(result.bytes.data(), &ipv6->sin6_addr, 16);
        result.scope = ipv6->sin6_scope_id;
        return result;
    }
    return std::nullopt;
}

std::optional<Address> parseNumeric(const std::string& text)
{
    if (text.find(':') == std::string::npos) {
        // Only the dotted quad: the resolver would also take forms like "127.1".
        Address address;
        address.family = AF_INET;
        if (inet_pton(AF_INET, text.c_str(), address.bytes.data()) != 1)
            return std::nullopt;
        return address;
    }
    // getaddrinfo understands a "%scope" suffix, by interface name or index.
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || !found)
        return std::nullopt;
    auto address = fromSocketAddress(found->ai_addr);
    freeaddrinfo(found);
    return address;
}

std::optional<Address> parseAddress(const std::string& text)
{
    if (auto address = parseNumeric(text))
        return address;
    // A scope naming an interface that is gone cannot be resolved; the address alone still can.
    auto percent = text.find('%');
    if (percent != std::string::npos)
        return parseNumeric(text.substr(0, percent));
    return std::nullopt;
}

bool holds(const ifaddrs& interface, const Address& wanted)
{
    auto candidate = fromSocketAddress(interface.ifa_addr);
    if (!candidate || candidate->family != wanted.family || candidate->bytes != wanted.bytes)
        return false;
    // The same link-local address may live on several links; a scope picks one of them.
    return wanted.scope == 0 || candidate->scope == 0 || wanted.scope == candidate->scope;
}

std::optional<std::string> readFirstLine(const std::filesystem::path& path)
{
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line))
        return std::nullopt;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t'))
        line.pop_back();
    return line;
}

bool hasUeventLine(const std::filesystem::path& path, std::string_view wanted)
{
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line == wanted)
            return true;
    }
    return false;
}

// The entry itself, not what it links to: phy80211 is a link into the wiphy's folder.
bool pathExists(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

}  // namespace

NetworkPathResolver::NetworkPathResolver(std::filesystem::path sysfsNetFolder)
    : sysfsNetFolder_(std::move(sysfsNetFolder))
{
}

link::NetworkPath NetworkPathResolver::resolve(const std::string& localAddress) const
{
    auto wanted = parseAddress(localAddress);
    if (!wanted)
        return std::nullopt;
    // The whole of 127.0.0.0/8 reaches this host over loopback, though lo lists only 127.0.0.1.
    if (wanted->isLoopback())
        return link::InterfaceType::loopback;

    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0)
        return std::nullopt;
    link::NetworkPath path;
    for (const ifaddrs* interface = interfaces; interface; interface = interface->ifa_next) {
        if (holds(*interface, *wanted)) {
            path = classify(interface->ifa_name, interface->ifa_flags);
            break;
        }
    }
    freeifaddrs(interfaces);
    return path;
}

link::InterfaceType NetworkPathResolver::classify(const std::string& interfaceName, unsigned interfaceFlags) const
{
    if (interfaceFlags & IFF_LOOPBACK)
        return link::InterfaceType::loopback;
    if (interfaceName.empty() || interfaceName == "." || interfaceName == ".." ||
        interfaceName.find('/') != std::string::npos)
        return link::InterfaceType::other;

    const auto folder = sysfsNetFolder_ / interfaceName;
    // Wi-Fi devices are also of type ARPHRD_ETHER, and so are some modems: look for them first.
    if (pathExists(folder / "wireless") || pathExists(folder / "phy80211"))
        return link::InterfaceType::wifi;
    if (hasUeventLine(folder / "uevent", "DEVTYPE=wwan"))
        return link::InterfaceType::cellular;
    if (auto type = readFirstLine(folder / "type"); type && *type == std::to_string(arphrdEther))
        return link::InterfaceType::wiredEthernet;
    return link::InterfaceType::other;
}

link::NetworkPath resolveNetworkPath(const std::string& localAddress)
{
    static const NetworkPathResolver resolver;
    return resolver.resolve(localAddress);
}

}  // namespace kestrio::platform::os
