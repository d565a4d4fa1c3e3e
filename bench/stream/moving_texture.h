#pragma once

// The moving picture both animators draw: a texture like a busy desktop (smooth colour ramps,
// many flat rectangles with edges, a little grain), larger than the screen, shown through a
// window that moves at a constant speed.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace animation {

// The frame counter drawn at the top left: two rows of 16 blocks, the low 16 bits of the frame
// number and below them the same bits inverted, so that a reader can reject a damaged read.
constexpr int blockSize = 32;
constexpr int counterBits = 16;
constexpr int counterMargin = 16;

// The texture is this much larger than the screen in each direction: the room the view wanders in.
constexpr int slackX = 512;
constexpr int slackY = 256;

inline std::uint32_t hash(std::uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

// Something like a busy desktop: smooth colour ramps, many flat rectangles with edges, and a
// little grain, so the picture neither collapses to nothing nor is pure noise.
inline std::vector<std::uint32_t> makeTexture(int width, int height)
{
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const auto r = static_cast<std::uint32_t>(128 + 127 * std::sin(x * 0.004 + y * 0.002));
            const auto g = static_cast<std::uint32_t>(128 + 127 * std::sin(y * 0.006 + 1.0));
            const auto b = static_cast<std::uint32_t>(128 + 127 * std::sin((x + y) * 0.003 + 2.0));
            pixels[static_cast<std::size_t>(y) * width + x] = (r << 16) | (g << 8) | b;
        }
    }
    for (std::uint32_t i = 0; i < 1500; ++i) {
        const int w = 8 + static_cast<int>(hash(i * 4 + 0) % 220);
        const int h = 6 + static_cast<int>(hash(i * 4 + 1) % 120);
        const int x0 = static_cast<int>(hash(i * 4 + 2) % static_cast<std::uint32_t>(width - w));
        const int y0 = static_cast<int>(hash(i * 4 + 3) % static_cast<std::uint32_t>(height - h));
        const std::uint32_t colour = hash(i + 99991) & 0xffffff;
        for (int y = y0; y < y0 + h; ++y)
            std::fill_n(pixels.begin() + static_cast<std::ptrdiff_t>(y) * width + x0, w, colour);
    }
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const std::uint32_t grain = hash(static_cast<std::uint32_t>(i)) & 0x0f0f0f;
        pixels[i] ^= grain;
    }
    return pixels;
}

// `position` folded into 0..limit and back, as a point moving at constant speed between walls.
inline int bounce(int position, int limit)
{
    const int phase = position % (2 * limit);
    return phase <= limit ? phase : 2 * limit - phase;
}

}  // namespace animation
