#pragma once

#include "model/platform_wording.h"

#include <string>

namespace kestrio::platform {

// The texts of a Linux desktop host: this computer rather than the Mac, e-mail through sendmail
// rather than Messages, starting with the desktop session, the desktop's own display settings,
// phones paired through usbmuxd. The rows for capture and input are the display server's
// (x11DesktopWording); here they only lose the settings panes no Linux desktop has, so that
// their buttons ask again at once.
model::PlatformWording linuxDesktopWording();

// The texts of a Wayland session that no backend serves: nothing on it can be read or posted to,
// and the hints name the desktops that can be shared; `missing` says what each backend lacked.
model::PlatformWording unservedWaylandWording(const std::string& missing);

}  // namespace kestrio::platform
