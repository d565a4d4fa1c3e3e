#pragma once

#include "capture/h264_encoder.h"
#include "capture/video_frame.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace kestrio::platform::testing {

// A synthetic NV12 picture in padded rows: a gradient, a square that moves with `frameIndex`, and
// the frame number as 16 black or white blocks along the top edge so a decoder can read it back.
capture::VideoFrame makeNv12Picture(int width, int height, int frameIndex);

// Frame number encoded by makeNv12Picture, read from a decoded luma plane.
int readFrameNumber(const std::vector<std::uint8_t>& luma, int width);

struct DecodedPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> luma;  // tightly packed
};

// Decodes each output as one packet with libavcodec's H.264 decoder, then drains it.
// Returns nothing when the decoder reported an error.
std::optional<std::vector<DecodedPicture>> decodeOutputs(const std::vector<capture::EncodedVideoFrame>& outputs);

// Collects encoder outputs from the encoder's thread.
class OutputCollector {
public:
    capture::H264Encoder::OutputHandler handler();
    // Waits (bounded) until `count` outputs have arrived.
    bool waitFor(std::size_t count);
    std::vector<std::optional<capture::EncodedVideoFrame>> outputs();
    std::size_t count();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<capture::EncodedVideoFrame>> outputs_;
};

}  // namespace kestrio::platform::testing
