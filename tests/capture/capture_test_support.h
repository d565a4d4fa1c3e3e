#pragma once

#include "capture/video_frame.h"

#include <cstdint>
#include <vector>

namespace kestrio::test {

// A frame with its own pixels: a smooth, colourful picture (gentle gradients, no edges) that
// lossy coding keeps close. NV12 frames are video range, converted from `bgra`.
struct OwnedFrame {
    capture::VideoFrame frame;
    std::vector<std::uint8_t> bgra;  // tightly packed
};
OwnedFrame makeTestFrame(capture::PixelFormat format, int width, int height);

// Peak signal-to-noise ratio in dB of two BGRA/BGRX pictures over their colour channels.
double psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);

}  // namespace kestrio::test
