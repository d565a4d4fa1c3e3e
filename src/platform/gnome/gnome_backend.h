#pragma once

#include "desktop/desktop_backend.h"

#include <optional>
#include <ostream>
#include <string>

namespace kestrio::platform::gnome {

// The GNOME backend, when Mutter's display-configuration, screen-cast and remote-desktop services
// answer on the session bus; nothing, with `why` naming what is missing, when they do not. Its
// parts share one connection to the bus, ended last.
std::optional<desktop::DesktopBackend> makeGnomeBackend(std::ostream& out, std::string& why);

}  // namespace kestrio::platform::gnome
