#pragma once

// A second X client for the capture tests: draws known pictures on the root window, moves the
// pointer, and compares what the capture delivers with what was drawn.

#include "capture/video_frame.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <mutex>
#include <string>
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

class TestDisplay {
public:
    explicit TestDisplay(const std::string& displayName);
    ~TestDisplay();
    TestDisplay(const TestDisplay&) = delete;
    TestDisplay& operator=(const TestDisplay&) = delete;

    bool connected() const;
    int rootWidth() const;
    int rootHeight() const;

    // Draws on the root window and waits until the server has done it.
    void draw(const Picture& picture, int x, int y);
    void warpPointer(int x, int y);
    void sync();

private:
    xcb_connection_t* connection_ = nullptr;
    const xcb_screen_t* screen_ = nullptr;
    xcb_gcontext_t gc_ = 0;
};

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

}  // namespace kestrio::platform::testing
