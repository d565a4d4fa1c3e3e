#pragma once

#include "desktop/desktop_backend.h"

#include <optional>
#include <ostream>
#include <string>

namespace kestrio::platform::wlroots {

// The backend of a wlroots compositor (sway and its kin), when it offers the screen-copy
// protocol; virtual monitors where sway's IPC answers. Nothing, with `why` set, when the
// compositor cannot be reached or offers no screen copy.
std::optional<desktop::DesktopBackend> makeWlrootsBackend(std::ostream& out, std::string& why);

}  // namespace kestrio::platform::wlroots
