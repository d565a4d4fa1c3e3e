#pragma once

#include "capture/encoded_frame_sink.h"
#include "capture/h264_encoder.h"
#include "capture/screen_capturer.h"
#include "desktop/display_capture.h"
#include "model/capture_session.h"

#include <memory>

namespace kestrio::model {

// A stream of one display to the viewer through ScreenCapturer.
class ScreenCaptureSession final : public CaptureSession {
public:
    ScreenCaptureSession(std::shared_ptr<capture::EncodedFrameSink> sink, StreamQuality quality, StreamFrameRate frameRate,
                         std::shared_ptr<capture::DisplayCaptureFactory> displays,
                         std::shared_ptr<capture::H264EncoderFactory> encoders);
    ~ScreenCaptureSession() override;

    void start(const display::DisplayInfo& display, std::function<void(const capture::CaptureEnd&)> ended) override;
    void stop() override;

    const std::shared_ptr<capture::ScreenCapturer>& capturer() const { return capturer_; }

    // Makes sessions for the given sink and platform facilities.
    static CaptureSessionFactory factory(std::shared_ptr<capture::EncodedFrameSink> sink,
                                         std::shared_ptr<capture::DisplayCaptureFactory> displays,
                                         std::shared_ptr<capture::H264EncoderFactory> encoders);

private:
    std::shared_ptr<capture::ScreenCapturer> capturer_;
};

}  // namespace kestrio::model
