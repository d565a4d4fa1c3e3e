#pragma once

#include "capture/display_capture.h"
#include "display/display_facility.h"
#include "model/input_event_poster.h"
#include "model/permissions.h"
#include "model/platform_wording.h"

#include <memory>
#include <ostream>
#include <string>

namespace kestrio::app {

// The facilities of the desktop session the host serves: its displays and virtual monitors,
// capture, input, what it allows, and the texts that name them.
struct DesktopBackend {
    std::shared_ptr<void> keepAlive;  // what the facilities share (an X server of our own, a bus): ended last
    std::string name;                 // "x11", "gnome", "wlroots", or "none"
    std::shared_ptr<display::DisplayFacility> displays;
    std::shared_ptr<capture::DisplayCaptureFactory> capture;
    std::shared_ptr<model::InputEventPoster> input;
    std::shared_ptr<model::PermissionFacility> permissions;
    model::PlatformWording wording;
};

// Chooses the backend from the session: a Wayland session (XDG_SESSION_TYPE=wayland, or
// WAYLAND_DISPLAY without DISPLAY) is served through GNOME's compositor when its services answer
// on the session bus, else through a wlroots compositor's protocols when it offers screen copy
// (virtual monitors where sway's IPC answers); a Wayland session nothing serves gets a backend that captures and posts
// nothing and says why, never one that reads Xwayland, which sees only its own clients. Any
// other session is X11: $DISPLAY, or an X server of the host's own when there is none. What was
// chosen, and why, is told to `out`.
DesktopBackend chooseDesktopBackend(std::ostream& out);

}  // namespace kestrio::app
