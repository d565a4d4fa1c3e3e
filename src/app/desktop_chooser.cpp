#include "app/desktop_chooser.h"

#include "desktop/unserved_desktop.h"
#include "platform/desktop_common/linux_wording.h"
#include "platform/gnome/gnome_backend.h"
#include "platform/kde/kde_backend.h"
#include "platform/wlroots/wlroots_backend.h"
#include "platform/x11/x11_backend.h"

#include <cstdlib>
#include <string>

namespace kestrio::app {
namespace {

// The backends of a Wayland session, in the order they are tried.
constexpr desktop::DesktopBackendMaker waylandBackends[] = {
    platform::gnome::makeGnomeBackend,
    platform::kde::makeKdeBackend,
    platform::wlroots::makeWlrootsBackend,
};

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

desktop::DesktopBackend wayland(std::ostream& out)
{
    std::string missing, separator;
    for (const auto make : waylandBackends) {
        std::string why;
        if (auto backend = make(out, why))
            return std::move(*backend);
        missing += separator + why;
        separator = "; ";
    }
    out << "this Wayland session cannot be shared: " << missing << std::endl;
    return desktop::unservedDesktop(platform::desktop_common::unservedWaylandWording(missing), "지원되지 않는 Wayland 데스크톱");
}

}  // namespace

desktop::DesktopBackend chooseDesktopBackend(std::ostream& out)
{
    const bool wayland = environment("XDG_SESSION_TYPE") == "wayland" ||
                         (!environment("WAYLAND_DISPLAY").empty() && environment("DISPLAY").empty());
    return wayland ? app::wayland(out) : platform::x11::makeX11Backend(out);
}

}  // namespace kestrio::app
