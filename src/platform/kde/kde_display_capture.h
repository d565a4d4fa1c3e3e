#pragma once

#include "desktop/display_capture.h"
#include "platform/kde/kde_desktop.h"
#include "runtime/clock.h"

#include <memory>

namespace kestrio::platform::kde {

// Captures a monitor of a KDE desktop through KWin's screen cast: the stream of a virtual
// monitor this host made, or a new stream of a physical output. KWin draws the cursor into the
// pictures and sends a picture only when something changed.
class KdeDisplayCaptureFactory final : public capture::DisplayCaptureFactory {
public:
    KdeDisplayCaptureFactory(std::shared_ptr<KdeDesktop> desktop, std::shared_ptr<runtime::Clock> clock = nullptr);

    std::unique_ptr<capture::DisplayCaptureStream> start(const capture::CaptureDisplay& display,
                                                         const capture::CaptureConfiguration& configuration,
                                                         std::shared_ptr<runtime::SerialQueue> queue,
                                                         capture::DisplayCaptureStream::FrameHandler handler) override;

private:
    std::shared_ptr<KdeDesktop> desktop_;
    std::shared_ptr<runtime::Clock> clock_;
};

}  // namespace kestrio::platform::kde
