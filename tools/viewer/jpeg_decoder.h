#pragma once

#include "viewer/rgb_image.h"

#include <cstdint>
#include <span>

namespace kestrio::viewer {

// turbojpeg decompression to RGB; one handle reused for every frame.
class JpegDecoder {
public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // False when the bytes are not a JPEG image turbojpeg can read.
    bool decode(std::span<const std::uint8_t> jpeg, RgbImage& out);

private:
    void* handle_ = nullptr;
};

}  // namespace kestrio::viewer
