#pragma once

#include "viewer/rgb_image.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace kestrio::viewer {

// Encoded image files, built in memory. Each yields nothing for an empty image.
std::vector<std::uint8_t> encodePng(const RgbImage& image);  // 8-bit RGB, stored deflate blocks
std::vector<std::uint8_t> encodePpm(const RgbImage& image);  // binary P6
std::vector<std::uint8_t> encodeJpeg(const RgbImage& image, int quality = 95);

// Writes the image in the format its extension names: .png, .ppm or .jpg/.jpeg (any case).
// False for another extension, an empty image or a failed write.
bool saveImage(const RgbImage& image, const std::filesystem::path& path);

}  // namespace kestrio::viewer
