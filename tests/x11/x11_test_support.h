#pragma once

// X clients beside the code under test: one draws on the root window, moves the pointer and reads
// the screen's state; the other records the input it receives, as an application would.

#include "capture/video_frame.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrio::platform::testing {

// A BGRX picture in memory.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;  // 0x00RRGGBB

    std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// Blocks of `block` pixels, each of its own colour, so that scaled copies can be compared by
// block averages and offsets show as shifted blocks.
Picture blockPattern(int width, int height, int block, std::uint32_t seed = 1);
Picture solidPicture(int width, int height, std::uint32_t colour);

struct Point {
    int x = -1;
    int y = -1;
    bool operator==(const Point&) const = default;
};

class TestDisplay {
public:
    explicit TestDisplay(const std::string& displayName);
    ~TestDisplay();
    TestDisplay(const TestDisplay&) = delete;
    TestDisplay& operator=(const TestDisplay&) = delete;

    bool connected() const;
    // Draws on the root window and waits until the server has done it.
    void draw(const Picture& picture, int x, int y);
    void warpPointer(int x, int y);
    Point pointer();
    Point rootSize();  // as it is now, width and height
    std::vector<std::string> modeNames();  // the RandR modes the server knows

private:
    void sync();

    xcb_connection_t* connection_ = nullptr;
    const xcb_screen_t* screen_ = nullptr;
    xcb_gcontext_t gc_ = 0;
};

// What `xrandr <arguments>` printed on `displayName`, or nothing when it failed.
std::optional<std::string> xrandr(const std::string& displayName, const std::vector<std::string>& arguments);

// A frame's pixels copied out of its buffers, so that tests can look at them after the frame has
// gone back to the capture.
struct FrameCopy {
    capture::PixelFormat format = capture::PixelFormat::bgra;
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> first;   // bgra pixels, or the Y plane, rows packed
    std::vector<std::uint8_t> second;  // CbCr plane, rows packed

    static FrameCopy of(const capture::VideoFrame& frame);

    std::uint32_t bgraAt(int x, int y) const;  // 0xAARRGGBB
};

// Collects what the handler delivers; thread-safe.
class FrameLog {
public:
    void add(const capture::VideoFrame& frame, bool keep = false);
    std::size_t count() const;
    FrameCopy last() const;
    // Drops the frames kept by add(keep = true): their buffers go back to the capture.
    void releaseKept();

private:
    mutable std::mutex mutex_;
    std::size_t count_ = 0;
    FrameCopy last_;
    std::vector<capture::VideoFrame> kept_;
};

struct Yuv {
    double y = 0;
    double u = 0;
    double v = 0;
};

// Video-range BT.601, as NV12 frames carry it.
Yuv toVideoRangeYuv(std::uint32_t rgb);
// Mean of a channel (0 blue, 1 green, 2 red) of `frame` over a rectangle of output pixels.
double meanBgraChannel(const FrameCopy& frame, int channel, int x, int y, int width, int height);
// Mean luma and chroma of an NV12 frame over a rectangle of output pixels (even coordinates).
Yuv meanNv12(const FrameCopy& frame, int x, int y, int width, int height);

struct InputEvent {
    std::uint8_t type = 0;    // XCB_KEY_PRESS, XCB_BUTTON_RELEASE, XCB_MOTION_NOTIFY, …
    std::uint8_t detail = 0;  // keycode or button
    int x = 0;                // root position
    int y = 0;
    std::uint16_t state = 0;
    xcb_keysym_t keysym = 0;  // keys: what the keycode meant when the event was read
};

// The input recorder the end-to-end tests use (tests/integration/x_input_recorder.py), run as a
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
    std::vector<std::vector<std::uint32_t>> mapping();
    std::vector<xcb_keycode_t> emptyKeycodes();
    xcb_keysym_t keysymOf(xcb_keycode_t keycode);
    void setKeysym(xcb_keycode_t keycode, xcb_keysym_t keysym);
    // Returns once `count` keys have been pressed since the last take().
    void waitForKeyPresses(std::size_t count);

private:
    std::vector<std::vector<std::uint32_t>> ask(const std::string& command);
    std::vector<std::vector<std::uint32_t>> answer();

    int socket_ = -1;
    pid_t pid_ = -1;
    std::string received_;
    bool connected_ = false;
};

std::vector<InputEvent> ofType(const std::vector<InputEvent>& events, std::initializer_list<std::uint8_t> types);
std::vector<xcb_keysym_t> pressedKeysyms(const std::vector<InputEvent>& events);

}  // namespace kestrio::platform::testing
