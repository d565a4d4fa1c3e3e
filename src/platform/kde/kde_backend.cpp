#include "platform/kde/kde_backend.h"

#include "platform/desktop_common/wayland_session_watch.h"
#include "platform/kde/kde_desktop.h"
#include "platform/kde/kde_display_capture.h"
#include "platform/kde/kde_displays.h"
#include "platform/kde/kde_input_poster.h"
#include "platform/kde/kde_permissions.h"

#include <utility>

namespace kestrio::platform::kde {

std::optional<desktop::DesktopBackend> makeKdeBackend(std::ostream& out, std::string& why)
{
    if (!KwinConnection::serves()) {
        why = "the compositor is not KWin";
        return std::nullopt;
    }
    std::shared_ptr<KdeDesktop> desktop;
    try {
        desktop = std::make_shared<KdeDesktop>();
    } catch (const KwinError& error) {
        why = error.what();
        return std::nullopt;
    }
    const auto& connection = *desktop->connection();
    out << "sharing the KDE Plasma desktop through KWin's screen-cast and fake-input protocols";
    if (!connection.screencast() || !connection.fakeInput())
        out << " (KWin has not granted " << (connection.screencast() ? "fake input" : connection.fakeInput() ? "the screen cast" : "either")
            << " to this program: see the window's hints)";
    out << std::endl;
    desktop::DesktopBackend backend;
    backend.name = "kde";
    backend.displays = std::make_shared<KdeDisplayFacility>(desktop);
    backend.capture = std::make_shared<KdeDisplayCaptureFactory>(desktop);
    backend.input = std::make_shared<KdeInputPoster>(desktop);
    backend.permissions = std::make_shared<KdePermissionFacility>(desktop->connection());
    backend.wording = kdeDesktopWording();
    auto watch = std::make_shared<desktop_common::WaylandSessionWatch>("KWin");
    backend.watchSession = desktop_common::watchSessionThrough(watch);
    backend.keepAlive = std::make_shared<std::pair<std::shared_ptr<void>, std::shared_ptr<void>>>(desktop, watch);
    return backend;
}

}  // namespace kestrio::platform::kde
