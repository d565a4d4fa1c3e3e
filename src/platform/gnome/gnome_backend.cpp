#include "platform/gnome/gnome_backend.h"

#include "platform/desktop_common/wayland_session_watch.h"
#include "platform/gnome/gnome_desktop.h"
#include "platform/gnome/gnome_display_capture.h"
#include "platform/gnome/gnome_displays.h"
#include "platform/gnome/gnome_input_poster.h"
#include "platform/gnome/gnome_permissions.h"

#include <utility>

namespace kestrio::platform::gnome {

std::optional<desktop::DesktopBackend> makeGnomeBackend(std::ostream& out, std::string& why)
{
    std::shared_ptr<GnomeDesktop> desktop;
    try {
        desktop = GnomeDesktop::connect();
    } catch (const MutterError& error) {
        why = error.what();
        return std::nullopt;
    }
    if (const auto missing = desktop->bus().missingServices(); !missing.empty()) {
        std::string names;
        for (const auto& service : missing)
            names += (names.empty() ? "" : ", ") + service;
        why = "no " + names + " on the session bus";
        return std::nullopt;
    }
    out << "sharing the GNOME Wayland desktop through Mutter's screen-cast and remote-desktop services" << std::endl;
    desktop::DesktopBackend backend;
    backend.name = "gnome";
    backend.displays = std::make_shared<GnomeDisplayFacility>(desktop);
    backend.capture = std::make_shared<GnomeDisplayCaptureFactory>(desktop);
    backend.input = std::make_shared<GnomeInputPoster>(desktop);
    backend.permissions = std::make_shared<GnomePermissionFacility>(desktop);
    backend.wording = gnomeDesktopWording();
    auto watch = std::make_shared<desktop_common::WaylandSessionWatch>("Mutter");
    backend.watchSession = desktop_common::watchSessionThrough(watch);
    backend.keepAlive = std::make_shared<std::pair<std::shared_ptr<void>, std::shared_ptr<void>>>(desktop, watch);
    return backend;
}

}  // namespace kestrio::platform::gnome
