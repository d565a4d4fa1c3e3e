#pragma once

// X clients beside the code under test: one draws on the root window and moves the pointer; the
// other records the input it receives, as an application would.

#include "platform/x11/xvfb_server.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrio::platform::testing {

// A server this process is let into; null (and a test failure) when it could not start.
std::unique_ptr<XvfbServer> startServer(ScreenSize initialSize, std::optional<ScreenSize> maximumSize = std::nullopt);

// What `xrandr <arguments>` printed on `displayName`, or nothing when it failed.
std::optional<std::string> xrandr(const std::string& displayName, const std::vector<std::string>& arguments);

struct Point {
    int x = -1, y = -1;
    bool operator==(const Point&) const = default;
};

// Each call returns once the server has done what it asked.
class TestDisplay {
public:
    explicit TestDisplay(const std::string& displayName);
    ~TestDisplay() { xcb_disconnect(connection_); }

    bool connected() const { return xcb_connection_has_error(connection_) == 0 && screen_; }
    // Paints the rectangle with 0x00RRGGBB colours, given the root coordinates.
    void draw(int x, int y, int width, int height, const std::function<std::uint32_t(int, int)>& colourAt);
    void warpPointer(int x, int y);
    Point pointer();

private:
    void sync() { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

    xcb_connection_t* connection_ = nullptr;
    const xcb_screen_t* screen_ = nullptr;
    xcb_gcontext_t gc_ = 0;
};

struct InputEvent {
    std::uint8_t type = 0, detail = 0;  // XCB_KEY_PRESS, …; keycode or button
    int x = 0, y = 0;                   // root position
    std::uint16_t state = 0;
    xcb_keysym_t keysym = 0;  // keys: what the keycode meant when the event was read
};
using Rows = std::vector<std::vector<std::uint32_t>>;

// The input recorder the end-to-end tests use (tests/support/x_input_recorder.py), run as a
// child that answers over a socket: a window over the whole screen with the input focus.
class InputRecorder {
public:
    explicit InputRecorder(const std::string& displayName);
    ~InputRecorder();

    bool connected() const { return connected_; }
    // Everything that arrived before this call reached the server, since the last call. Events
    // another client caused are included once that client has had a reply to a later request.
    std::vector<InputEvent> take();
    // "mapping": a row per keycode, the keycode first, then its keysyms. "set KEYCODE KEYSYM".
    // "keys N": returns once N keys have been pressed since the last take().
    Rows ask(const std::string& command);

private:
    int socket_ = -1;
    FILE* answers_ = nullptr;
    pid_t pid_ = -1;
    bool connected_ = false;
};

}  // namespace kestrio::platform::testing
