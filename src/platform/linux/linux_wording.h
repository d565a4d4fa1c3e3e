#pragma once

#include "model/platform_wording.h"

namespace kestrio::platform {

// The texts of a Linux desktop host: this computer, e-mail through sendmail, starting with the
// desktop session, the desktop's own display settings, phones paired through usbmuxd. Each
// backend words its rows for capture and input and their hints (x11DesktopWording and the
// like); here they are general. No Linux desktop has settings where these permissions are
// granted, so the rows' buttons check again at once.
model::PlatformWording linuxDesktopWording();

}  // namespace kestrio::platform
