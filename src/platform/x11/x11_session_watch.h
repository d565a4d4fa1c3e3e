#pragma once

#include "desktop/desktop_backend.h"
#include "platform/os/unique_fd.h"
#include "platform/x11/xvfb_server.h"
#include "runtime/clock.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>

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
    // Stops watching; `news` is not told anything afterwards.
    ~X11SessionWatch();
    X11SessionWatch(const X11SessionWatch&) = delete;
    X11SessionWatch& operator=(const X11SessionWatch&) = delete;

    // Starts the watch; once only.
    void start(std::function<void(desktop::SessionNews)> news);

private:
    void watchOwnServer(const std::function<void(desktop::SessionNews)>& news);
    void watchServer(const std::function<void(desktop::SessionNews)>& news);
    // Waits until `descriptor` is readable (true) or the watch is stopped (false).
    bool waitFor(int descriptor) const;

    std::string displayName_;
    std::shared_ptr<XvfbServer> ownServer_;
    std::shared_ptr<runtime::Clock> clock_;
    os::UniqueFd stopRead_;
    os::UniqueFd stopWrite_;
    std::thread thread_;
};

}  // namespace kestrio::platform::x11
