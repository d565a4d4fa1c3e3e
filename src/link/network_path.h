#pragma once

#include <functional>
#include <optional>
#include <string>

namespace kestrio::link {

// The kind of local interface a connection runs over.
enum class InterfaceType {
    wifi,
    wiredEthernet,
    other,
    cellular,
    loopback,
};

// What is known of the path of one connection: nothing (no path available) or the type of the
// local interface it arrived on.
using NetworkPath = std::optional<InterfaceType>;

// Finds the path of a connection from its local address (numeric text, IPv4 or IPv6, an IPv6
// link-local address may carry a "%scope" suffix).
using PathResolver = std::function<NetworkPath(const std::string& localAddress)>;

}  // namespace kestrio::link
