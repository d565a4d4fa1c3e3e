#pragma once

#include "capture/video_frame.h"

#include <libyuv.h>

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
    const bool nv12 = format == capture::PixelFormat::nv12;
    const int chromaStride = (width + 1) / 2 * 2;
    std::vector<std::uint8_t> bgra;
    for (int i = 0; i < width * height; ++i) {
        const double u = static_cast<double>(i % width) / width, v = static_cast<double>(i / width) / height;
        bgra.insert(bgra.end(), {static_cast<std::uint8_t>(40 + 170 * u), static_cast<std::uint8_t>(128 + 100 * std::sin(3.0 * u + 2.0 * v)), static_cast<std::uint8_t>(30 + 190 * v), 255});
    }
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(bgra);
    if (nv12) {
        bytes->resize(static_cast<std::size_t>(width) * height + static_cast<std::size_t>(chromaStride) * ((height + 1) / 2));
        libyuv::ARGBToNV12(bgra.data(), width * 4, bytes->data(), width, bytes->data() + width * height, chromaStride, width, height);
    }
    return {{format, width, height, {bytes->data(), nv12 ? bytes->data() + width * height : nullptr}, {nv12 ? width : width * 4, nv12 ? chromaStride : 0}, {}, bytes}, bgra};
}

}  // namespace kestrio::test
