#pragma once

#include "desktop/desktop_backend.h"

#include <ostream>

namespace kestrio::platform::x11 {

// The X11 backend, for any session that is not Wayland: the X server of $DISPLAY, or, when there
// is none, an X server of the host's own (Xvfb, started large enough for a virtual monitor to
// its right), which then becomes $DISPLAY and is ended last. Outputs an earlier run lit for its
// virtual monitor are turned off first. Never declines: when no server can be had, its parts
// fail as they are used.
desktop::DesktopBackend makeX11Backend(std::ostream& out);

}  // namespace kestrio::platform::x11
