#pragma once

#include "desktop/desktop_backend.h"
#include "platform/desktop_common/watch_thread.h"

#include <functional>
#include <string>

namespace kestrio::platform::desktop_common {

// Watches a Wayland compositor from a connection of its own, which asks nothing: when the
// compositor closes it, the session has ended, and the news says so, naming `compositor`.
class WaylandSessionWatch {
public:
    explicit WaylandSessionWatch(std::string compositor) : compositor_(std::move(compositor)) {}

    // Connects to $WAYLAND_DISPLAY and starts watching; nothing when it cannot connect.
    void start(std::function<void(desktop::SessionNews)> news);

private:
    std::string compositor_;
    WatchThread thread_;  // last: ends first
};

// A backend's watchSession over a watch it keeps alive in its keepAlive.
std::function<void(std::function<void(desktop::SessionNews)>)> watchSessionThrough(const std::shared_ptr<WaylandSessionWatch>& watch);

}  // namespace kestrio::platform::desktop_common
