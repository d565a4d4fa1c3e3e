#include "model/screen_capture_session.h"

namespace kestrio::model {

ScreenCaptureSession::ScreenCaptureSession(std::shared_ptr<capture::EncodedFrameSink> sink, StreamQuality quality,
                                           StreamFrameRate frameRate, std::shared_ptr<capture::DisplayCaptureFactory> displays,
                                           std::shared_ptr<capture::H264EncoderFactory> encoders)
    : capturer_(capture::ScreenCapturer::create(std::move(sink), quality, frameRate, std::move(displays), std::move(encoders)))
{
}

ScreenCaptureSession::~ScreenCaptureSession()
{
    capturer_->stop();
}

void ScreenCaptureSession::start(const display::DisplayInfo& display, std::function<void(const capture::CaptureEnd&)> ended)
{
    capturer_->start(capture::CaptureDisplay{display.id, display.x, display.y, display.width, display.height}, std::move(ended));
}

void ScreenCaptureSession::stop()
{
    capturer_->stop();
}

CaptureSessionFactory ScreenCaptureSession::factory(std::shared_ptr<capture::EncodedFrameSink> sink,
                                                    std::shared_ptr<capture::DisplayCaptureFactory> displays,
                                                    std::shared_ptr<capture::H264EncoderFactory> encoders)
{
    return [sink = std::move(sink), displays = std::move(displays), encoders = std::move(encoders)](StreamQuality quality,
                                                                                                     StreamFrameRate frameRate) {
        return std::make_unique<ScreenCaptureSession>(sink, quality, frameRate, displays, encoders);
    };
}

}  // namespace kestrio::model
