#pragma once

#include "capture/display_capture.h"

#include <optional>
#include <string>

namespace kestrio::platform {

// The whole X screen as one display: its root window's size at the origin. Empty when the
// display cannot be opened. `displayName` empty means $DISPLAY.
std::optional<capture::CaptureDisplay> x11ScreenDisplay(const std::string& displayName = {});

}  // namespace kestrio::platform
