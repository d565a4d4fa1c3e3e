#include "capture/capture_test_support.h"

#include <libyuv.h>

#include <cmath>
#include <memory>

namespace kestrio::test {

OwnedFrame makeTestFrame(capture::PixelFormat format, int width, int height)
{
    OwnedFrame owned;
    owned.bgra.resize(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
            auto* pixel = &owned.bgra[(static_cast<std::size_t>(y) * width + x) * 4];
            pixel[0] = static_cast<std::uint8_t>(40 + 170 * u);
            pixel[1] = static_cast<std::uint8_t>(128 + 100 * std::sin(3.0 * u + 2.0 * v));
            pixel[2] = static_cast<std::uint8_t>(30 + 190 * v);
            pixel[3] = 255;
        }
    }
    auto& frame = owned.frame;
    frame.format = format;
    frame.width = width;
    frame.height = height;
    if (format == capture::PixelFormat::bgra) {
        auto pixels = std::make_shared<std::vector<std::uint8_t>>(owned.bgra);
        frame.planes = {pixels->data(), nullptr};
        frame.strides = {width * 4, 0};
        frame.storage = pixels;
        return owned;
    }
    const int chromaStride = ((width + 1) / 2) * 2;
    const std::size_t lumaSize = static_cast<std::size_t>(width) * height;
    auto planes = std::make_shared<std::vector<std::uint8_t>>(lumaSize + static_cast<std::size_t>(chromaStride) * ((height + 1) / 2));
    libyuv::ARGBToNV12(owned.bgra.data(), width * 4, planes->data(), width, planes->data() + lumaSize, chromaStride, width, height);
    frame.planes = {planes->data(), planes->data() + lumaSize};
    frame.strides = {width, chromaStride};
    frame.storage = planes;
    return owned;
}

double psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b)
{
    if (a.size() != b.size() || a.empty())
        return 0;
    double squares = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (i % 4 != 3)
            squares += (static_cast<double>(a[i]) - b[i]) * (static_cast<double>(a[i]) - b[i]);
    const double meanSquare = squares / static_cast<double>(a.size() / 4 * 3);
    return meanSquare == 0 ? 100.0 : 10.0 * std::log10(255.0 * 255.0 / meanSquare);
}

}  // namespace kestrio::test
