#pragma once

#include "desktop/display_capture.h"
#include "platform/wlroots/wlroots_displays.h"
#include "runtime/clock.h"

#include <memory>
#include <string>

namespace kestrio::platform::wlroots {

// Captures an output of a wlroots compositor with its screen-copy protocol, into shared memory:
// after the first picture the compositor copies the next one only once something on the output
// changed, so a still screen costs nothing but the once-a-second refresh of the picture held.
// The cursor is drawn in by the compositor.
class ScreencopyCaptureFactory final : public capture::DisplayCaptureFactory {
public:
    // `waylandDisplay` empty: $WAYLAND_DISPLAY.
    ScreencopyCaptureFactory(std::shared_ptr<WlrootsDisplayFacility> displays, std::string waylandDisplay = {},
                             std::shared_ptr<runtime::Clock> clock = nullptr);

    std::unique_ptr<capture::DisplayCaptureStream> start(const capture::CaptureDisplay& display,
                                                         const capture::CaptureConfiguration& configuration,
                                                         std::shared_ptr<runtime::SerialQueue> queue,
                                                         capture::DisplayCaptureStream::FrameHandler handler) override;

private:
    std::shared_ptr<WlrootsDisplayFacility> displays_;
    std::string waylandDisplay_;
    std::shared_ptr<runtime::Clock> clock_;
};

}  // namespace kestrio::platform::wlroots
