#include "platform/desktop_common/wayland_session_watch.h"

#include <wayland-client.h>

#include <memory>

namespace kestrio::platform::desktop_common {

void WaylandSessionWatch::start(std::function<void(desktop::SessionNews)> news)
{
    std::shared_ptr<wl_display> display(wl_display_connect(nullptr), [](wl_display* d) {
        if (d)
            wl_display_disconnect(d);
    });
    if (!display)
        return;
    thread_.start("wayland-session", [this, display, news = std::move(news)] {
        wl_display* d = display.get();
        for (;;) {
            while (wl_display_prepare_read(d) != 0) {
                if (wl_display_dispatch_pending(d) < 0)
                    break;
            }
            wl_display_flush(d);
            if (!thread_.waitFor(wl_display_get_fd(d))) {
                wl_display_cancel_read(d);
                return;
            }
            if (wl_display_read_events(d) < 0 || wl_display_dispatch_pending(d) < 0) {
                news({compositor_ + " closed the connection: the desktop session ended", true});
                return;
            }
        }
    });
}

std::function<void(std::function<void(desktop::SessionNews)>)> watchSessionThrough(const std::shared_ptr<WaylandSessionWatch>& watch)
{
    return [weak = std::weak_ptr(watch)](std::function<void(desktop::SessionNews)> news) {
        if (auto watch = weak.lock())
            watch->start(std::move(news));
    };
}

}  // namespace kestrio::platform::desktop_common
