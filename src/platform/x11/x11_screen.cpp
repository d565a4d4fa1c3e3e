#include "platform/x11/x11_screen.h"
#include "platform/x11/x11_connect.h"

#include <xcb/xcb.h>

namespace kestrio::platform {

std::optional<capture::CaptureDisplay> x11ScreenDisplay(const std::string& displayName)
{
    int screenNumber = 0;
    xcb_connection_t* connection = connectToDisplay(displayName, &screenNumber);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return std::nullopt;
    }
    std::optional<capture::CaptureDisplay> display;
    auto iterator = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && iterator.rem; ++i)
        xcb_screen_next(&iterator);
    if (iterator.rem) {
        const xcb_screen_t* screen = iterator.data;
        // The root window id serves as the identifier until monitors are listed one by one.
        display = capture::CaptureDisplay{screen->root, 0, 0, screen->width_in_pixels, screen->height_in_pixels};
    }
    xcb_disconnect(connection);
    return display;
}

}  // namespace kestrio::platform
