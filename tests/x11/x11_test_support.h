#pragma once

// X clients beside the code under test: one draws on the root window, moves the pointer and reads
// the screen's state; the other records the input it receives, as an application would.

#include "platform/x11/xvfb_server.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrio::platform::testing {

// A server this process is let into; null (and a test failure) when it could not start.
std::unique_ptr<XvfbServer> startServer(ScreenSize initialSize, std::optional<ScreenSize> maximumSize = std::nullopt);

// A 0x00RRGGBB picture in memory.
struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels;
    std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};
// Blocks of `block` pixels, each of its own colour, so that scaled copies can be compared by
// block averages and offsets show as shifted blocks.
Picture blockPattern(int width, int height, int block);
inline Picture solidPicture(int width, int height, std::uint32_t colour)
{
    return {width, height, std::vector<std::uint32_t>(static_cast<std::size_t>(width) * height, colour)};
}

struct Point {
    int x = -1, y = -1;
    bool operator==(const Point&) const = default;
};

class TestDisplay {
public:
    explicit TestDisplay(const std::string& displayName);
    ~TestDisplay() { xcb_disconnect(connection_); }
    TestDisplay(const TestDisplay&) = delete;
    TestDisplay& operator=(const TestDisplay&) = delete;

    bool connected() const { return xcb_connection_has_error(connection_) == 0 && screen_; }
    // Draws on the root window and waits until the server has done it.
    void draw(const Picture& picture, int x, int y);
    void warpPointer(int x, int y);
    Point pointer();
    Point rootSize();
    std::vector<std::string> modeNames();  // the RandR modes the server knows

private:
    void sync() { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

    xcb_connection_t* connection_ = nullptr;
    const xcb_screen_t* screen_ = nullptr;
    xcb_gcontext_t gc_ = 0;
};

// What `xrandr <arguments>` printed on `displayName`, or nothing when it failed.
std::optional<std::string> xrandr(const std::string& displayName, const std::vector<std::string>& arguments);

struct InputEvent {
    std::uint8_t type = 0;    // XCB_KEY_PRESS, XCB_BUTTON_RELEASE, XCB_MOTION_NOTIFY, …
    std::uint8_t detail = 0;  // keycode or button
    int x = 0, y = 0;         // root position
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
    InputRecorder(const InputRecorder&) = delete;
    InputRecorder& operator=(const InputRecorder&) = delete;

    bool connected() const { return connected_; }
    // Everything that arrived before this call reached the server, since the last call. Events
    // another client caused are included once that client has had a reply to a later request.
    std::vector<InputEvent> take();
    // The keyboard mapping: a row per keycode, the keycode first, then its keysyms.
    Rows mapping() { return ask("mapping"); }
    std::vector<xcb_keycode_t> emptyKeycodes();
    xcb_keysym_t keysymOf(xcb_keycode_t keycode)
    {
        const auto rows = mapping();
        return rows.at(keycode - rows.front().front()).at(1);
    }
    void setKeysym(xcb_keycode_t keycode, xcb_keysym_t keysym) { ask("set " + std::to_string(keycode) + " " + std::to_string(keysym)); }
    // Returns once `count` keys have been pressed since the last take().
    void waitForKeyPresses(std::size_t count) { ask("keys " + std::to_string(count)); }

private:
    Rows ask(const std::string& command);
    Rows answer();

    int socket_ = -1;
    pid_t pid_ = -1;
    std::string received_;
    bool connected_ = false;
};

std::vector<InputEvent> ofType(const std::vector<InputEvent>& events, std::initializer_list<std::uint8_t> types);
std::vector<xcb_keysym_t> pressedKeysyms(const std::vector<InputEvent>& events);

}  // namespace kestrio::platform::testing
