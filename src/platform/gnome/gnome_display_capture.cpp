#include "platform/gnome/gnome_display_capture.h"

#include "capture/argb_frame_converter.h"
#include "capture/capture_ticker.h"

#include <optional>

namespace kestrio::platform::gnome {
namespace {

using capture::CaptureError;

constexpr auto formatWait = std::chrono::seconds(5);

// Turns the cast's newest picture into frames. Used only by its ticker, under the ticker's lock.
class CastSource {
public:
    CastSource(std::shared_ptr<Cast> cast, const capture::CaptureConfiguration& configuration)
        : cast_(std::move(cast)), configuration_(configuration)
    {
    }

    bool observe(bool& changed)
    {
        if (cast_->stream->ended())
            return false;
        changed = cast_->stream->takeChange();
        return true;
    }

    std::optional<capture::VideoFrame> grab()
    {
        std::optional<capture::VideoFrame> frame;
        cast_->stream->withPicture([&](const pipewire::StreamPicture& picture) {
            // The stream's size can change under us (the monitor's mode changed).
            if (!converter_ || converter_->sourceWidth() != picture.width || converter_->sourceHeight() != picture.height) {
                const int width = configuration_.width > 0 ? configuration_.width : picture.width;
                const int height = configuration_.height > 0 ? configuration_.height : picture.height;
                converter_.emplace(picture.width, picture.height, width, height, configuration_.pixelFormat,
                                   configuration_.queueDepth);
            }
            frame = converter_->convert(picture.pixels, picture.stride);
        });
        return frame;
    }

    void close() { cast_.reset(); }

private:
    std::shared_ptr<Cast> cast_;
    capture::CaptureConfiguration configuration_;
    std::optional<capture::ArgbFrameConverter> converter_;
};

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
            throw CaptureError("the compositor's screen-cast stream did not start");
        desktop_->add(cast);
    }
    // A new picture is taken as soon as it comes, not at the next tick.
    auto& stream = *cast->stream;
    auto source = std::make_shared<CastSource>(std::move(cast), configuration);
    return capture::startTicking(source, configuration, clock_, std::move(queue), std::move(handler),
                                 [&stream](std::function<void()> wake) { stream.onNews(std::move(wake)); });
}

}  // namespace kestrio::platform::gnome
