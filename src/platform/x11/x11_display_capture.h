#pragma once

#include "capture/capture_ticker.h"
#include "capture/display_capture.h"
#include "runtime/clock.h"

#include <memory>
#include <string>

namespace kestrio::platform {

// Captures a rectangle of an X11 screen through XCB: MIT-SHM grabs of the root window, XDamage to
// learn whether anything changed, XFixes for the cursor image, libyuv to scale and convert.
//
// Each stream has a connection of its own and a tick at the minimum frame interval. A tick grabs
// only when the rectangle was damaged, the cursor moved or changed over it, a frame was asked
// for, or a second has passed since the last frame; otherwise it costs one round trip.
class X11DisplayCaptureFactory final : public capture::DisplayCaptureFactory {
public:
    // A still screen is still delivered this often.
    static constexpr std::chrono::seconds refreshInterval = capture::CaptureTicker::refreshInterval;

    // `displayName` as for xcb_connect (":1"); empty means $DISPLAY. `clock` drives the ticks and
    // stamps the frames.
    explicit X11DisplayCaptureFactory(std::string displayName = {}, std::shared_ptr<runtime::Clock> clock = nullptr);

    std::unique_ptr<capture::DisplayCaptureStream> start(const capture::CaptureDisplay& display,
                                                         const capture::CaptureConfiguration& configuration,
                                                         std::shared_ptr<runtime::SerialQueue> queue,
                                                         capture::DisplayCaptureStream::FrameHandler handler) override;

private:
    std::string displayName_;
    std::shared_ptr<runtime::Clock> clock_;
};

}  // namespace kestrio::platform
