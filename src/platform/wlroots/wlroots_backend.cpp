#include "platform/wlroots/wlroots_backend.h"

#include "platform/desktop_common/wayland_session_watch.h"

#include "platform/wlroots/screencopy_capture.h"
#include "platform/wlroots/sway_ipc.h"
#include "platform/wlroots/wayland_connection.h"
#include "platform/wlroots/wlroots_displays.h"
#include "platform/wlroots/wlroots_input_poster.h"
#include "platform/wlroots/wlroots_permissions.h"

namespace kestrio::platform::wlroots {

std::optional<desktop::DesktopBackend> makeWlrootsBackend(std::ostream& out, std::string& why)
{
    try {
        WaylandConnection connection;
        if (!connection.screencopy()) {
            why = "the compositor offers no wlroots screen-copy protocol";
            return std::nullopt;
        }
    } catch (const WaylandError& error) {
        why = error.what();
        return std::nullopt;
    }
    const bool sway = !SwayIpc::socketPath().empty();
    out << "sharing the Wayland desktop through the wlroots screen-copy and virtual-input protocols"
        << (sway ? ", virtual monitors through sway's IPC" : "") << std::endl;
    desktop::DesktopBackend backend;
    backend.name = "wlroots";
    auto displays = std::make_shared<WlrootsDisplayFacility>();
    backend.displays = displays;
    backend.capture = std::make_shared<ScreencopyCaptureFactory>(displays);
    backend.input = std::make_shared<WlrootsInputPoster>();
    backend.permissions = std::make_shared<WlrootsPermissionFacility>();
    backend.wording = wlrootsDesktopWording(sway ? "sway" : "Wayland 컴포지터");
    auto watch = std::make_shared<desktop_common::WaylandSessionWatch>(sway ? "sway" : "the compositor");
    backend.watchSession = desktop_common::watchSessionThrough(watch);
    backend.keepAlive = watch;
    return backend;
}

}  // namespace kestrio::platform::wlroots
