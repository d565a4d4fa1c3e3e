#pragma once

#include "desktop/desktop_backend.h"

#include <string>

namespace kestrio::desktop {

// The backend of a session that no backend serves: no displays, no capture, no input, nothing
// allowed, and `wording` to say so. Reading the displays or starting a capture fails with
// `error` as its text.
DesktopBackend unservedDesktop(model::PlatformWording wording, const std::string& error);

}  // namespace kestrio::desktop
