#pragma once

#include "desktop/desktop_backend.h"

#include <ostream>

namespace kestrio::app {

// Chooses the backend from the session: a Wayland session (XDG_SESSION_TYPE=wayland, or
// WAYLAND_DISPLAY without DISPLAY) is served through GNOME's compositor when its services answer
// on the session bus, else through a wlroots compositor's protocols when it offers screen copy
// (virtual monitors where sway's IPC answers); a Wayland session nothing serves gets a backend
// that captures and posts nothing and says why, never one that reads Xwayland, which sees only
// its own clients. Any other session is X11: $DISPLAY, or an X server of the host's own when
// there is none. What was chosen, and why, is told to `out`.
desktop::DesktopBackend chooseDesktopBackend(std::ostream& out);

}  // namespace kestrio::app
