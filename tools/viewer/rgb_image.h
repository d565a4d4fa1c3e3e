#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrio::viewer {

// A decoded picture: rows of red, green, blue bytes, top row first, no padding.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width * height * 3 bytes

    std::size_t rowBytes() const { return static_cast<std::size_t>(width) * 3; }
    const std::uint8_t* pixel(int x, int y) const { return pixels.data() + static_cast<std::size_t>(y) * rowBytes() + static_cast<std::size_t>(x) * 3; }
    bool empty() const { return width <= 0 || height <= 0; }
};

}  // namespace kestrio::viewer
