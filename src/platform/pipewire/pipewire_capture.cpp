#include "platform/pipewire/pipewire_capture.h"

#include "capture/argb_frame_converter.h"
#include "capture/capture_ticker.h"

#include <optional>

namespace kestrio::platform::pipewire {
namespace {

// Turns the stream's newest picture into frames. Used only by its ticker, under the ticker's lock.
class StreamSource {
public:
    StreamSource(std::shared_ptr<void> owner, PipeWireStream& stream, std::function<bool()> ended,
                 const capture::CaptureConfiguration& configuration)
        : owner_(std::move(owner)), stream_(&stream), ended_(std::move(ended)), configuration_(configuration)
    {
    }

    bool observe(bool& changed)
    {
        if (!owner_ || stream_->ended() || (ended_ && ended_()))
            return false;
        changed = stream_->takeChange();
        return true;
    }

    capture::CaptureEnd ending() const
    {
        if (stream_->ended())
            return {capture::CaptureEnd::Cause::sourceLost, "the PipeWire stream ended"};
        return {capture::CaptureEnd::Cause::sourceLost, "the compositor ended the screen cast"};
    }

    std::optional<capture::VideoFrame> grab()
    {
        std::optional<capture::VideoFrame> frame;
        if (!owner_)
            return frame;
        stream_->withPicture([&](const StreamPicture& picture) {
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

    void close() { owner_.reset(); }

private:
    std::shared_ptr<void> owner_;
    PipeWireStream* stream_;
    std::function<bool()> ended_;
    capture::CaptureConfiguration configuration_;
    std::optional<capture::ArgbFrameConverter> converter_;
};

}  // namespace

std::unique_ptr<capture::DisplayCaptureStream> startStreamCapture(std::shared_ptr<void> owner, PipeWireStream& stream,
                                                                  std::function<bool()> ended,
                                                                  const capture::CaptureConfiguration& configuration,
                                                                  std::shared_ptr<runtime::Clock> clock,
                                                                  std::shared_ptr<runtime::SerialQueue> queue,
                                                                  capture::DisplayCaptureStream::FrameHandler handler)
{
    auto source = std::make_shared<StreamSource>(std::move(owner), stream, std::move(ended), configuration);
    // A new picture is taken as soon as it comes, not at the next tick.
    return capture::startTicking(source, configuration, std::move(clock), std::move(queue), std::move(handler),
                                 [&stream](std::function<void()> wake) { stream.onNews(std::move(wake)); });
}

}  // namespace kestrio::platform::pipewire
