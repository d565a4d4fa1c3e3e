#pragma once

#include <xcb/xcb.h>

#include <string>

namespace kestrio::platform::x11 {

// Opens a connection to an X server: `displayName` empty means $DISPLAY. Never null; check it
// with xcb_connection_has_error. Every X11 part of the host connects through here, because
// xcb_connect finds the authorisation through libXau, whose XauFileName fills a static buffer:
// two connections being opened on different threads at once must not meet there.
xcb_connection_t* connectToDisplay(const std::string& displayName, int* screenNumber = nullptr);

}  // namespace kestrio::platform::x11
