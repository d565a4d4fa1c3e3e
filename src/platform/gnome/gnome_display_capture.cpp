#include "platform/gnome/gnome_display_capture.h"

#include "platform/pipewire/pipewire_capture.h"

#include <optional>
#include <string>

namespace kestrio::platform::gnome {
namespace {

using capture::CaptureError;

constexpr auto formatWait = std::chrono::seconds(5);

}  // namespace

GnomeDisplayCaptureFactory::GnomeDisplayCaptureFactory(std::shared_ptr<GnomeDesktop> desktop, std::shared_ptr<runtime::Clock> clock)
    : desktop_(std::move(desktop)), clock_(clock ? std::move(clock) : runtime::makeSteadyClock())
{
}

std::unique_ptr<capture::DisplayCaptureStream> GnomeDisplayCaptureFactory::start(
    const capture::CaptureDisplay& display, const capture::CaptureConfiguration& configuration,
    std::shared_ptr<runtime::SerialQueue> queue, capture::DisplayCaptureStream::FrameHandler handler)
{
    if (!queue || !handler)
        throw CaptureError("capture needs a queue and a frame handler");
    auto cast = desktop_->castOf(display.displayID);
    if (!cast) {
        std::optional<MutterMonitor> found;
        try {
            for (auto& monitor : desktop_->bus().monitors()) {
                if (monitor.active && displayIdentifier(monitor) == display.displayID)
                    found = std::move(monitor);
            }
            if (!found)
                throw CaptureError("the display to capture is not connected");
            cast = std::make_shared<Cast>();
            cast->displayID = display.displayID;
            cast->area = {found->x, found->y, found->logicalWidth, found->logicalHeight};
            cast->session = desktop_->bus().startSession(Recording{found->connector});
            cast->stream = std::make_unique<pipewire::PipeWireStream>(cast->session->pipeWireNode(), std::nullopt);
        } catch (const MutterError& error) {
            throw CaptureError(std::string("the compositor does not cast the display: ") + error.what());
        } catch (const pipewire::PipeWireError& error) {
            throw CaptureError(error.what());
        }
        if (!cast->stream->waitForFormat(formatWait))
            throw CaptureError("the compositor's screen-cast stream did not start" + std::string(pipewire::PipeWireStream::unlinkedReason));
        desktop_->add(cast);
    }
    auto& stream = *cast->stream;
    return pipewire::startStreamCapture(std::move(cast), stream, nullptr, configuration, clock_, std::move(queue), std::move(handler));
}

}  // namespace kestrio::platform::gnome
