#pragma once

#include "desktop/display_capture.h"
#include "platform/gnome/gnome_desktop.h"
#include "runtime/clock.h"

#include <memory>

namespace kestrio::platform::gnome {

// Captures a monitor of a GNOME desktop through the compositor's screen cast: the stream of a
// virtual monitor this host made, or a new session recording a physical monitor. The cursor is
// drawn into the pictures by the compositor, which sends a picture only when something changed.
class GnomeDisplayCaptureFactory final : public capture::DisplayCaptureFactory {
public:
    GnomeDisplayCaptureFactory(std::shared_ptr<GnomeDesktop> desktop, std::shared_ptr<runtime::Clock> clock = nullptr);

    std::unique_ptr<capture::DisplayCaptureStream> start(const capture::CaptureDisplay& display,
                                                         const capture::CaptureConfiguration& configuration,
                                                         std::shared_ptr<runtime::SerialQueue> queue,
                                                         capture::DisplayCaptureStream::FrameHandler handler) override;

private:
    std::shared_ptr<GnomeDesktop> desktop_;
    std::shared_ptr<runtime::Clock> clock_;
};

}  // namespace kestrio::platform::gnome
