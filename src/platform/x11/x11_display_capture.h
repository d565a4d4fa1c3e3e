#pragma once

#include "capture/capture_ticker.h"
#include "desktop/display_capture.h"
#include "runtime/clock.h"

#include <memory>
#include <string>

namespace kestrio::platform::x11 {

// Captures a rectangle of an X11 screen through XCB: MIT-SHM grabs of the root window, XDamage to
// learn whether anything changed, XFixes for the cursor image, libyuv to scale and convert.
//
// Each stream has a connection of its own and a tick at the minimum frame interval. A tick grabs
// only when the rectangle was damaged, the cursor moved or changed over it, a frame was asked
// for, or a second has passed since the last frame; otherwise it costs one round trip. Damage
// and cursor changes the server reports between ticks bring the next tick forward (as soon as
// the interval since the last frame allows), so a change after a quiet moment is grabbed at once.
class X11DisplayCaptureFactory final : public capture::DisplayCaptureFactory {
public:
    // A still screen is still delivered this often.
    static constexpr std::chrono::seconds refreshInterval = capture::CaptureTicker::refreshInterval;

    // `displayName` as for xcb_connect (":1"); empty means $DISPLAY. `clock` drives the ticks and
    // stamps the frames. `early`: reports between ticks bring the next one forward (off: ticks
    // come only on the clock, for tests that step it). `ownServer`: the server is the host's own,
    // which is started again when it dies, so its end is not the session's.
    explicit X11DisplayCaptureFactory(std::string displayName = {}, std::shared_ptr<runtime::Clock> clock = nullptr, bool early = true,
                                      bool ownServer = false);

    std::unique_ptr<capture::DisplayCaptureStream> start(const capture::CaptureDisplay& display,
                                                         const capture::CaptureConfiguration& configuration,
                                                         std::shared_ptr<runtime::SerialQueue> queue,
                                                         capture::DisplayCaptureStream::FrameHandler handler) override;

private:
    std::string displayName_;
    std::shared_ptr<runtime::Clock> clock_;
    bool early_;
    bool ownServer_;
};

}  // namespace kestrio::platform::x11
