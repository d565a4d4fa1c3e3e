#pragma once

#include "desktop/platform_wording.h"

#include <string>

namespace kestrio::platform::desktop_common {

// The texts of a Linux desktop host: this computer, e-mail through sendmail, starting with the
// desktop session, the desktop's own display settings, phones paired through usbmuxd. Each
// backend words its rows for capture and input and their hints (x11DesktopWording and the
// like); here they are general. No Linux desktop has settings where these permissions are
// granted, so the rows' buttons check again at once.
model::PlatformWording linuxDesktopWording();

// The texts of a Wayland session that no backend serves: nothing on it can be read or posted to,
// and the hints name the desktops that can be shared; `missing` says what each backend lacked.
model::PlatformWording unservedWaylandWording(const std::string& missing);

}  // namespace kestrio::platform::desktop_common
