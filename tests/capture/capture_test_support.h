#pragma once

#include "capture/video_frame.h"

#include <libyuv.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace kestrio::test {

// A frame with its own pixels: gentle gradients that lossy coding keeps close. NV12 frames are
// video range, converted from `bgra` (tightly packed).
struct OwnedFrame {
    capture::VideoFrame frame;
    std::vector<std::uint8_t> bgra;
};

inline OwnedFrame makeTestFrame(capture::PixelFormat format, int width, int height)
{
    OwnedFrame owned{{format, width, height, {}, {}, {}, {}}, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4)};
    for (std::size_t i = 0; i < owned.bgra.size(); i += 4) {
        const double u = static_cast<double>(i / 4 % width) / width, v = static_cast<double>(i / 4 / width) / height;
        const std::uint8_t pixel[] = {static_cast<std::uint8_t>(40 + 170 * u), static_cast<std::uint8_t>(128 + 100 * std::sin(3.0 * u + 2.0 * v)),
                                      static_cast<std::uint8_t>(30 + 190 * v), 255};
        std::copy(std::begin(pixel), std::end(pixel), owned.bgra.begin() + static_cast<std::ptrdiff_t>(i));
    }
    const int chromaStride = (width + 1) / 2 * 2;
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(owned.bgra);
    if (format == capture::PixelFormat::nv12) {
        bytes->resize(static_cast<std::size_t>(width) * height + static_cast<std::size_t>(chromaStride) * ((height + 1) / 2));
        libyuv::ARGBToNV12(owned.bgra.data(), width * 4, bytes->data(), width, bytes->data() + width * height, chromaStride, width, height);
    }
    const bool nv12 = format == capture::PixelFormat::nv12;
    owned.frame.planes = {bytes->data(), nv12 ? bytes->data() + width * height : nullptr};
    owned.frame.strides = {nv12 ? width : width * 4, nv12 ? chromaStride : 0};
    owned.frame.storage = bytes;
    return owned;
}

}  // namespace kestrio::test
