#pragma once

#include "capture/h264_encoder.h"

#include <memory>
#include <string>
#include <vector>

namespace kestrio::platform::ffmpeg {

// Tuning of the software fallback; the hardware candidates take no preset.
struct FfmpegH264EncoderOptions {
    // Encoder names, tried in this order; the first that opens is used. "x264" is libx264 driven
    // directly (X264H264Encoder); the others are libavcodec's names.
    std::vector<std::string> candidates{"h264_vaapi", "h264_nvenc", "x264"};
    // Speed preset of libavcodec's "libx264" (the direct "x264" always runs "ultrafast"). At
    // 60 fps one core has about 4.5 ms per 1728 × 972 frame: only "ultrafast" comes near that on
    // a small machine ("superfast" takes about 1.5 to 2 times as long, for the same bytes at
    // somewhat better quality).
    std::string x264Preset = "ultrafast";
    // Slice threads of libavcodec's "libx264" (the direct "x264" runs one); each frame is still
    // finished before the next is started. One, because the capture and its conversion need the
    // other core.
    int x264Threads = 1;
};

// Why one candidate did not open, for diagnostics and tests.
struct FfmpegCandidateFailure {
    std::string name;
    int code = 0;        // an AVERROR
    std::string reason;
};

// Makes H.264 encoders through libavcodec, hardware first.
class FfmpegH264EncoderFactory final : public capture::H264EncoderFactory {
public:
    explicit FfmpegH264EncoderFactory(FfmpegH264EncoderOptions options = {});

    // Throws capture::H264EncoderError ("H.264 하드웨어 인코더를 시작할 수 없습니다.", code =
    // the last candidate's AVERROR) when no candidate opens.
    std::unique_ptr<capture::H264Encoder> create(const capture::H264EncoderSettings& settings,
                                                 capture::H264Encoder::OutputHandler output) override;

    const FfmpegH264EncoderOptions& options() const { return options_; }
    // The candidates that failed during the last create(), in the order they were tried.
    const std::vector<FfmpegCandidateFailure>& lastFailures() const { return lastFailures_; }

private:
    FfmpegH264EncoderOptions options_;
    std::vector<FfmpegCandidateFailure> lastFailures_;
};

// One open libavcodec H.264 encoder and the thread that feeds it. encode() only queues the
// frame; the thread sends it, collects its packet and runs the output handler. flush() must
// not be called from the output handler. Once flushed, the encoder takes no further frames.
// Destroying it without flush() completes the frame being encoded and ends every other
// submitted frame with an empty output.
class FfmpegH264Encoder final : public capture::H264Encoder {
public:
    ~FfmpegH264Encoder() override;

    FfmpegH264Encoder(const FfmpegH264Encoder&) = delete;
    FfmpegH264Encoder& operator=(const FfmpegH264Encoder&) = delete;

    bool encode(const capture::VideoFrame& frame, bool forceKeyFrame) override;
    void flush() override;
    std::string name() const override;
    // Applied before the next frame is sent to the codec. libx264 takes a new rate mid-stream;
    // other encoders may keep the one they opened with.
    void setAverageBitRate(int bitsPerSecond) override;

    struct State;  // the open codec and its worker

private:
    friend class FfmpegH264EncoderFactory;
    explicit FfmpegH264Encoder(std::unique_ptr<State> state);

    std::unique_ptr<State> state_;
};

}  // namespace kestrio::platform::ffmpeg
