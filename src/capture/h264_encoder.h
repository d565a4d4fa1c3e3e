#pragma once

#include "capture/video_frame.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrio::capture {

// One encoded access unit, ready for the video packet.
struct EncodedVideoFrame {
    bool isKeyFrame = false;                // the encoder's own key-frame mark
    std::vector<std::uint8_t> sps;          // raw NAL unit (no start code); key frames only
    std::vector<std::uint8_t> pps;          // raw NAL unit; key frames only
    std::vector<std::uint8_t> data;         // the other NAL units, each behind a 4-byte big-endian length
};

struct H264EncoderSettings {
    int width = 0;   // even, at least 2
    int height = 0;
    int averageBitRate = 0;
    int framesPerSecond = 0;
    PixelFormat inputFormat = PixelFormat::nv12;
};

// Creation or preparation failed. `code` is the underlying status; `domain` is "Kestrio.H264".
class H264EncoderError : public std::runtime_error {
public:
    H264EncoderError(const std::string& description, int code) : std::runtime_error(description), code(code) {}
    static constexpr const char* domain = "Kestrio.H264";
    int code;
};

// A low-latency H.264 encoder: no frame reordering (outputs come in input order), the given
// average bit rate and frame rate, a key frame on request. Every submitted frame ends in exactly
// one call of the output handler, with the encoded frame or with nothing when the encoder
// produced none for it; the handler runs on the encoder's own thread.
class H264Encoder {
public:
    using OutputHandler = std::function<void(std::optional<EncodedVideoFrame>)>;

    virtual ~H264Encoder() = default;
    // Submits a frame of the encoder's size and input format. Returns false when it could not
    // be submitted (the handler is then not called for it). Never blocks on earlier frames.
    virtual bool encode(const VideoFrame& frame, bool forceKeyFrame) = 0;
    // Completes every submitted frame: their outputs have been handled when it returns.
    virtual void flush() = 0;
    // Changes the average bit rate (and with it the peak rate and the rate-control buffer) from
    // the next submitted frame on. An encoder that cannot change it keeps its rate.
    virtual void setAverageBitRate(int bitsPerSecond) = 0;
    // Which encoder this is ("h264_vaapi", "libx264", …), for diagnostics and benchmarks.
    virtual std::string name() const = 0;
};

class H264EncoderFactory {
public:
    virtual ~H264EncoderFactory() = default;
    // Throws H264EncoderError when no encoder can be made for these settings.
    virtual std::unique_ptr<H264Encoder> create(const H264EncoderSettings& settings, H264Encoder::OutputHandler output) = 0;
};

}  // namespace kestrio::capture
