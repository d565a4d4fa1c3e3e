#pragma once

#include "desktop/platform_wording.h"

namespace kestrio::platform::macos {

// The texts of a Mac: System Settings and its privacy panes (PrivacySettings opens them), the
// address notification through Messages, phones paired in Xcode, starting at Mac start-up.
model::PlatformWording macosWording();

}  // namespace kestrio::platform::macos
