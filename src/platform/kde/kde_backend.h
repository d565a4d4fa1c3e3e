#pragma once

#include "desktop/desktop_backend.h"

#include <optional>
#include <ostream>
#include <string>

namespace kestrio::platform::kde {

// The backend of KDE Plasma's compositor, KWin: pictures through its screen cast, input through
// its fake input, virtual monitors as its virtual outputs. It serves a KWin session even when
// KWin withholds those protocols, so that the window can say how to grant them. Nothing, with
// `why` set, when the compositor is not KWin.
std::optional<desktop::DesktopBackend> makeKdeBackend(std::ostream& out, std::string& why);

}  // namespace kestrio::platform::kde
