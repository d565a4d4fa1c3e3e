#pragma once

#include "link/network_path.h"

#include <filesystem>
#include <string>

namespace kestrio::platform::os {

// Tells which kind of local interface holds an address, from the interface list (getifaddrs)
// and what the kernel says of the interface in sysfs.
class NetworkPathResolver {
public:
    // `sysfsNetFolder` is where the interfaces' folders are (/sys/class/net on a real system).
    explicit NetworkPathResolver(std::filesystem::path sysfsNetFolder = "/sys/class/net");

    // The kind of interface that holds `localAddress` (numeric IPv4 or IPv6, maybe with a
    // "%scope" suffix; an IPv4-mapped IPv6 address counts as its IPv4 address). Nothing when no
    // interface holds it or the text is no address. Loopback addresses are always loopback.
    link::NetworkPath resolve(const std::string& localAddress) const;

    // The kind of the interface named `interfaceName`, whose getifaddrs flags are
    // `interfaceFlags` (IFF_*).
    link::InterfaceType classify(const std::string& interfaceName, unsigned interfaceFlags) const;

private:
    std::filesystem::path sysfsNetFolder_;
};

// NetworkPathResolver on this system's sysfs; fits link::PathResolver.
link::NetworkPath resolveNetworkPath(const std::string& localAddress);

}  // namespace kestrio::platform::os
