#pragma once

#include "desktop/platform_wording.h"

namespace kestrio::platform::x11 {

// linuxDesktopWording with the rows and hints of an X server: input is posted through the XTEST
// extension and capture reads the root window (X11PermissionFacility), neither of which has a
// consent dialogue or a settings pane; the rows say which one is missing and offer to check again.
model::PlatformWording x11DesktopWording();

}  // namespace kestrio::platform::x11
