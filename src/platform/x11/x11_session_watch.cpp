#include "platform/x11/x11_session_watch.h"

#include "platform/x11/x11_connect.h"
#include "platform/os/unique_fd.h"
#include "runtime/restart_budget.h"

#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <sys/syscall.h>
#include <utility>

namespace kestrio::platform::x11 {

X11SessionWatch::X11SessionWatch(std::string displayName, std::shared_ptr<XvfbServer> ownServer, std::shared_ptr<runtime::Clock> clock)
    : displayName_(std::move(displayName)), ownServer_(std::move(ownServer)), clock_(clock ? std::move(clock) : runtime::makeSteadyClock())
{
}

void X11SessionWatch::start(std::function<void(desktop::SessionNews)> news)
{
    thread_.start("x11-session", [this, news = std::move(news)] { ownServer_ ? watchOwnServer(news) : watchServer(news); });
}

void X11SessionWatch::watchOwnServer(const std::function<void(desktop::SessionNews)>& news)
{
    runtime::RestartBudget budget(restartsPerMinute, std::chrono::minutes(1));
    for (;;) {
        // Readable once the server has exited.
        os::UniqueFd exited(static_cast<int>(::syscall(SYS_pidfd_open, ownServer_->processID(), 0)));
        if (exited.get() < 0 || !thread_.waitFor(exited.get()))
            return;
        std::string error = "it stopped " + std::to_string(restartsPerMinute + 1) + " times within a minute";
        if (budget.take(clock_->now()) && ownServer_->restart(error)) {
            news({"the virtual screen stopped: sharing a new one on " + ownServer_->displayName() + "\nits X authority file: " +
                  ownServer_->authorityFile()});
            continue;
        }
        news({"the virtual screen " + ownServer_->displayName() + " stopped and cannot be started again: " + error, true});
        return;
    }
}

void X11SessionWatch::watchServer(const std::function<void(desktop::SessionNews)>& news)
{
    int screen = 0;
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(connectToDisplay(displayName_, &screen), &xcb_disconnect);
    if (xcb_connection_has_error(connection.get()))
        return;  // nothing to watch: the host's other parts say so
    // Nothing is asked of the server: the connection is read only when it has something to say,
    // and its end is the server's.
    while (thread_.waitFor(xcb_get_file_descriptor(connection.get()))) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection.get()))
            std::free(event);
        if (xcb_connection_has_error(connection.get())) {
            news({"the X server on " + displayName_ + " closed the connection: the desktop session ended", true});
            return;
        }
    }
}

}  // namespace kestrio::platform::x11
