#pragma once

#include "capture/video_frame.h"
#include "runtime/clock.h"
#include "runtime/serial_queue.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace kestrio::capture {

// A display as the capture layer sees it: its identifier and its rectangle in the global
// desktop space (origin top-left of the desktop, in pixels).
struct CaptureDisplay {
    std::uint32_t displayID = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Why a capture ended on its own, without stop().
struct CaptureEnd {
    enum class Cause {
        sourceLost,   // the picture source went (the compositor's stream, the capture's connection); a new capture may work
        desktopGone,  // the desktop session itself ended: its display server or compositor is gone
    };
    Cause cause = Cause::sourceLost;
    std::string reason;  // what happened, for the user
};

struct CaptureConfiguration {
    int width = 0;   // output size: frames come scaled to it
    int height = 0;
    PixelFormat pixelFormat = PixelFormat::nv12;
    runtime::Duration minimumFrameInterval{};  // no two frames closer than this
    int queueDepth = 5;                        // frames that may be alive (not yet released) at once
    bool showsCursor = true;
    // Asked on the capture queue, with the time of asking, whenever a picture is due (the screen
    // changed, or a picture was requested) and before it is grabbed; while it says no, nothing is
    // grabbed or converted, and what made the picture due stays pending until it says yes.
    // Empty: always yes.
    std::function<bool(runtime::TimePoint now)> wantsFrame;
    // Told, at most once and on any thread, when delivery ends on its own; never after stop()
    // has returned. Empty: nobody listens.
    std::function<void(const CaptureEnd&)> ended;
};

// Capture failed to start; the text says why, for the user.
class CaptureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A running capture of one display. Frames are delivered only when the picture changed, and
// at most one per minimum frame interval; a frame is also delivered for a still screen right
// after start, after requestFrame(), and now and then (at least once a second) so that a viewer
// never waits on a still screen. When the source goes away, delivery ends and the
// configuration's `ended` is told why.
class DisplayCaptureStream {
public:
    using FrameHandler = std::function<void(const VideoFrame&)>;

    virtual ~DisplayCaptureStream() = default;
    // Stops delivery; when it returns, the handler is not running and will not run again.
    virtual void stop() = 0;
    // Asks for one frame soon even if nothing changed.
    virtual void requestFrame() = 0;
};

// The platform's display-capture facility.
class DisplayCaptureFactory {
public:
    virtual ~DisplayCaptureFactory() = default;
    // Starts capturing `display`; frames are delivered to `handler` on `queue`, one at a time.
    // Throws CaptureError when capture cannot start.
    virtual std::unique_ptr<DisplayCaptureStream> start(const CaptureDisplay& display, const CaptureConfiguration& configuration,
                                                        std::shared_ptr<runtime::SerialQueue> queue,
                                                        DisplayCaptureStream::FrameHandler handler) = 0;
};

}  // namespace kestrio::capture
