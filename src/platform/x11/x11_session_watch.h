#pragma once

#include "desktop/desktop_backend.h"
#include "platform/desktop_common/watch_thread.h"
#include "platform/x11/xvfb_server.h"
#include "runtime/clock.h"

#include <functional>
#include <memory>
#include <string>

namespace kestrio::platform::x11 {

// Watches the X server the host shares, on a thread of its own. The host's own Xvfb is started
// again on the same display when it dies, at most three times a minute, and the news says where;
// after that, or when a server that is not the host's own closes its connection, the news says
// that the session ended.
class X11SessionWatch {
public:
    static constexpr int restartsPerMinute = 3;

    // `ownServer`: the host's own, restarted; else the X server on `displayName`.
    X11SessionWatch(std::string displayName, std::shared_ptr<XvfbServer> ownServer, std::shared_ptr<runtime::Clock> clock = nullptr);
    X11SessionWatch(const X11SessionWatch&) = delete;
    X11SessionWatch& operator=(const X11SessionWatch&) = delete;

    // Starts the watch; once only.
    void start(std::function<void(desktop::SessionNews)> news);

private:
    void watchOwnServer(const std::function<void(desktop::SessionNews)>& news);
    void watchServer(const std::function<void(desktop::SessionNews)>& news);

    std::string displayName_;
    std::shared_ptr<XvfbServer> ownServer_;
    std::shared_ptr<runtime::Clock> clock_;
    desktop_common::WatchThread thread_;  // last: ends first, and `news` is told nothing afterwards
};

}  // namespace kestrio::platform::x11
