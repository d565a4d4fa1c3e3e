#pragma once

#include "runtime/clock.h"

#include <array>
#include <cstdint>
#include <memory>

namespace kestrio::capture {

enum class PixelFormat {
    nv12,  // bi-planar 4:2:0, video range: a Y plane, then one interleaved CbCr plane
    bgra,  // 32-bit blue, green, red, alpha
};

// One captured picture. The planes stay valid while `storage` (or a copy of the frame) lives.
struct VideoFrame {
    PixelFormat format = PixelFormat::nv12;
    int width = 0;
    int height = 0;
    std::array<const std::uint8_t*, 2> planes{};  // nv12: Y, CbCr; bgra: pixels, unused
    std::array<int, 2> strides{};                 // bytes per row of each plane
    runtime::TimePoint captureTime{};             // when the picture was taken
    std::shared_ptr<const void> storage;
};

}  // namespace kestrio::capture
