#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace asio {
class io_context;
}

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

// Follows the host's interfaces and their addresses on `context`: `changed` runs there after
// they change, once for several changes that come together. The watch lasts as long as what is
// returned, which is ended on `context`'s thread or once that no longer runs; nothing is returned
// when the host cannot be watched.
using NetworkChangeWatcher = std::function<std::shared_ptr<void>(asio::io_context& context, std::function<void()> changed)>;

}  // namespace kestrio::link
