#pragma once

#include "capture/video_frame.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace kestrio::test {

// 40-pixel blocks, each of its own colour (0xRRGGBB), so that scaled copies compare by block and
// offsets show as shifted blocks.
inline std::uint32_t blockColour(int x, int y)
{
    return static_cast<std::uint32_t>((y / 40) * 1000 + x / 40) * 2654435761u >> 8;
}

// Whether the frame shows 0xRRGGBB at a point, within `tolerance` of each of blue, green and red
// (BGRA) or of luma, Cb and Cr (NV12, video-range BT.601).
inline bool shows(const capture::VideoFrame& frame, int x, int y, std::uint32_t rgb, int tolerance = 3)
{
    const double r = (rgb >> 16) & 0xff, g = (rgb >> 8) & 0xff, b = rgb & 0xff;
    const bool bgra = frame.format == capture::PixelFormat::bgra;
    const std::uint8_t* at = frame.planes[0] + y * frame.strides[0] + x * (bgra ? 4 : 1);
    const std::uint8_t* chroma = bgra ? at + 1 : frame.planes[1] + y / 2 * frame.strides[1] + x / 2 * 2;
    const double expected[] = {bgra ? b : 16 + 0.257 * r + 0.504 * g + 0.098 * b, bgra ? g : 128 - 0.148 * r - 0.291 * g + 0.439 * b, bgra ? r : 128 + 0.439 * r - 0.368 * g - 0.071 * b};
    return std::abs(at[0] - std::lround(expected[0])) <= tolerance && std::abs(chroma[0] - std::lround(expected[1])) <= tolerance && std::abs(chroma[1] - std::lround(expected[2])) <= tolerance;
}

}  // namespace kestrio::test
