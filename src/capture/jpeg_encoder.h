#pragma once

#include "capture/video_frame.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrio::capture {

// Compresses captured frames (NV12 or BGRA) into complete baseline JPEG files with 4:2:0
// chroma at a fixed quality (0 to 100). One encoder serves one thread; its compressor and
// scratch buffers are reused from frame to frame.
class JpegEncoder {
public:
    explicit JpegEncoder(int quality);
    ~JpegEncoder();

    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    int quality() const { return quality_; }

    // The JPEG file (FF D8 … FF D9) at the frame's size, or nothing when it cannot be made.
    std::optional<std::vector<std::uint8_t>> encode(const VideoFrame& frame);

private:
    bool compressNv12(const VideoFrame& frame);
    bool compressBgra(const VideoFrame& frame);
    bool reserveOutput(int width, int height);

    int quality_;
    void* compressor_ = nullptr;  // tjhandle
    // Planar copy of an NV12 frame, expanded from video range to the full range JPEG uses.
    std::array<std::vector<std::uint8_t>, 3> planes_;
    // Output buffer sized for the worst case at the current frame size, so the compressor
    // never has to grow it.
    std::uint8_t* output_ = nullptr;
    unsigned long outputCapacity_ = 0;
    unsigned long outputSize_ = 0;
    int outputWidth_ = 0;
    int outputHeight_ = 0;
};

}  // namespace kestrio::capture
