#pragma once

#include "capture/h264_encoder.h"

#include <memory>
#include <string>

namespace kestrio::platform::ffmpeg {

// libx264 driven directly, at a constant quantizer per frame chosen by capture::QuantizerControl.
// Through libavcodec, x264's own rate control needs a low-resolution analysis of every frame,
// about a fifth of the encoder's time at the fastest preset; this encoder measures each picture
// far more cheaply and holds the same average and peak rate.
//
// Frames are encoded in submission order on the encoder's own thread, with no delay: each
// submitted frame's output is handled before the next frame is encoded. Key frames come on
// request and every `keyFrameIntervalSeconds`. flush() must not be called from the output handler.
class X264H264Encoder final : public capture::H264Encoder {
public:
    // Throws capture::H264EncoderError (code: a negative errno, as libavcodec's) when libx264 does
    // not open for these settings.
    X264H264Encoder(const capture::H264EncoderSettings& settings, OutputHandler output, int rateBufferFrames,
                    int keyFrameIntervalSeconds);
    ~X264H264Encoder() override;

    X264H264Encoder(const X264H264Encoder&) = delete;
    X264H264Encoder& operator=(const X264H264Encoder&) = delete;

    bool encode(const capture::VideoFrame& frame, bool forceKeyFrame) override;
    void flush() override;
    void setAverageBitRate(int bitsPerSecond) override;
    std::string name() const override { return "x264"; }

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace kestrio::platform::ffmpeg
