#pragma once

#include "capture/frame_pool.h"
#include "capture/nv12_downscaler.h"
#include "capture/video_frame.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace kestrio::capture {

// Turns captured pictures of 32-bit pixels (B, G, R, X in memory, as X servers and compositors
// hand them out) into frames of the output size and format, in buffers of a frame pool.
class ArgbFrameConverter {
public:
    // Pictures of sourceWidth × sourceHeight become frames of width × height in `format`; the
    // pool keeps `poolDepth` frames.
    ArgbFrameConverter(int sourceWidth, int sourceHeight, int width, int height, PixelFormat format, int poolDepth);

    // Bytes of one frame of the output size and format.
    static std::size_t frameBytes(int width, int height, PixelFormat format);

    // A frame made from `argb` (rows of `stride` bytes), or none when consumers hold every buffer.
    // The frame's time is left for the caller to set.
    std::optional<VideoFrame> convert(const std::uint8_t* argb, int stride);

    // Whether convert() would find a buffer now.
    bool available() const { return pool_->hasFree(); }

    int sourceWidth() const { return sourceWidth_; }
    int sourceHeight() const { return sourceHeight_; }

private:
    void convertInto(const std::uint8_t* source, int sourceStride, std::uint8_t* target, VideoFrame& frame);

    int sourceWidth_;
    int sourceHeight_;
    int width_;
    int height_;
    PixelFormat format_;
    std::shared_ptr<FramePool> pool_;
    std::optional<Nv12Downscaler> downscaler_;
    std::vector<std::uint8_t> scaled_;  // the RGB picture at the output size, when libyuv scales
};

}  // namespace kestrio::capture
