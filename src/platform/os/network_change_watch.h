#pragma once

#include "link/network_path.h"

#include <functional>
#include <memory>

namespace kestrio::platform::os {

// A link::NetworkChangeWatcher over the kernel's news of links and of IPv4 and IPv6 addresses
// (an rtnetlink socket in their multicast groups), read on `context`. Each time the socket has
// something, at most a fixed number of messages are read into one buffer, and `changed` runs once
// when any was such news, or when the kernel had to drop some; nothing else is kept, so a flood
// costs a bounded read per turn of the context and the socket's own bounded buffer. Nothing is
// returned when no such socket can be opened.
std::shared_ptr<void> watchNetworkChanges(asio::io_context& context, std::function<void()> changed);

}  // namespace kestrio::platform::os
