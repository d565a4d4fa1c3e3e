#include "platform/kde/kde_display_capture.h"

#include "platform/pipewire/pipewire_capture.h"

#include <optional>
#include <string>

namespace kestrio::platform::kde {
namespace {

using capture::CaptureError;

constexpr auto formatWait = std::chrono::seconds(5);

// A stream being captured, with the screen cast it comes from.
struct Capture {
    std::shared_ptr<void> cast;  // the screen-cast stream, or the virtual monitor holding it
    std::unique_ptr<pipewire::PipeWireStream> pictures;
};

}  // namespace

KdeDisplayCaptureFactory::KdeDisplayCaptureFactory(std::shared_ptr<KdeDesktop> desktop, std::shared_ptr<runtime::Clock> clock)
    : desktop_(std::move(desktop)), clock_(clock ? std::move(clock) : runtime::makeSteadyClock())
{
}

std::unique_ptr<capture::DisplayCaptureStream> KdeDisplayCaptureFactory::start(
    const capture::CaptureDisplay& display, const capture::CaptureConfiguration& configuration,
    std::shared_ptr<runtime::SerialQueue> queue, capture::DisplayCaptureStream::FrameHandler handler)
{
    if (!queue || !handler)
        throw CaptureError("capture needs a queue and a frame handler");
    auto capture = std::make_shared<Capture>();
    std::shared_ptr<KwinScreencast> cast;
    try {
        if (auto monitor = desktop_->virtualMonitor(display.displayID)) {
            cast = monitor->stream;
            capture->cast = monitor;
        } else {
            const auto& connection = desktop_->connection();
            std::optional<std::uint32_t> global;
            {
                auto held = connection->lock();
                for (const auto& output : connection->outputs()) {
                    if (displayIdentifier(output) == display.displayID)
                        global = output.global;
                }
            }
            if (!global)
                throw CaptureError("the display to capture is not connected");
            cast = KwinScreencast::ofOutput(connection, *global);
            capture->cast = cast;
        }
        capture->pictures = std::make_unique<pipewire::PipeWireStream>(cast->node(), std::nullopt);
    } catch (const KwinError& error) {
        throw CaptureError(std::string("KWin does not cast the display: ") + error.what());
    } catch (const pipewire::PipeWireError& error) {
        throw CaptureError(error.what());
    }
    if (!capture->pictures->waitForFormat(formatWait))
        throw CaptureError("KWin's screen-cast stream did not start" + std::string(pipewire::PipeWireStream::unlinkedReason));
    auto& pictures = *capture->pictures;
    return pipewire::startStreamCapture(std::move(capture), pictures, [cast] { return cast->closed(); }, configuration, clock_,
                                        std::move(queue), std::move(handler));
}

}  // namespace kestrio::platform::kde
