#include "capture/nv12_downscaler.h"

#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>

#include <cmath>
#include <random>
#include <string>

namespace kestrio::test {
namespace {

using capture::Nv12Downscaler;
using Kernels = Nv12Downscaler::Kernels;
using Bytes = std::vector<std::uint8_t>;

struct Size {
    int width, height;
};

// Both planes with one stride, each in a buffer of its own, so that a read past them is a
// sanitizer error. Chroma is interleaved at half the size, rounded up.
struct Planes {
    Size size;
    int stride;
    Bytes luma, chroma;
    Size half() const { return {(size.width + 1) / 2, (size.height + 1) / 2}; }
};

constexpr std::uint8_t marker = 0xA5;

// Scales `source`, or ARGB pixels of its size when given, into rows 24 bytes wider than the
// picture; the padding and 64 bytes after each plane hold a marker.
Planes downscale(const Planes& source, Size size, Kernels kernels, const Bytes* argb = nullptr, int argbStride = 0)
{
    Planes output{size, size.width + 24, {}, {}};
    output.luma.assign(static_cast<std::size_t>(output.stride) * size.height + 64, marker);
    output.chroma.assign(static_cast<std::size_t>(output.stride) * output.half().height + 64, marker);
    auto scaler = Nv12Downscaler::create(source.size.width, source.size.height, size.width, size.height, kernels);
    if (scaler && argb)
        scaler->scaleArgb(argb->data(), argbStride, output.luma.data(), output.stride, output.chroma.data(), output.stride);
    else if (scaler)
        scaler->scale(source.luma.data(), source.stride, source.chroma.data(), source.stride, output.luma.data(), output.stride, output.chroma.data(), output.stride);
    return output;
}

// How far a plane of `components` interleaved samples is from an exact bilinear resampling of
// the source plane with sample centres aligned; the marker must be left everywhere else.
double worstDifference(const Bytes& source, int sourceStride, Size from, const Bytes& output, int stride, Size to, int components)
{
    const auto position = [](int index, int count, int sourceCount) {
        return std::clamp((index + 0.5) * sourceCount / count - 0.5, 0.0, static_cast<double>(sourceCount - 1));
    };
    double worst = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        const int y = static_cast<int>(i) / stride, x = static_cast<int>(i) % stride / components, component = static_cast<int>(i) % stride % components;
        if (y >= to.height || x >= to.width) {
            worst = std::max(worst, output[i] == marker ? 0.0 : 1000.0);
            continue;
        }
        const double sx = position(x, to.width, from.width), sy = position(y, to.height, from.height);
        const int x0 = static_cast<int>(sx), y0 = static_cast<int>(sy), x1 = std::min(x0 + 1, from.width - 1), y1 = std::min(y0 + 1, from.height - 1);
        const auto at = [&](int px, int py) { return double(source[static_cast<std::size_t>(py) * sourceStride + px * components + component]); };
        const double fx = sx - x0, fy = sy - y0;
        worst = std::max(worst, std::abs(output[i] - ((at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) + (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy)));
    }
    return worst;
}

TEST(Nv12Downscaler, AppliesOnlyToShrinkingByAtMostHalfAcrossToEvenSizes)
{
    // Rows may shrink further than half; not under half across, enlarging, odd or empty sizes.
    for (auto [size, applies] : {std::pair{Size{1728, 972}, true}, {{960, 200}, true}, {{958, 540}, false}, {{1920, 1082}, false}, {{1728, 971}, false}, {{0, 0}, false}})
        EXPECT_EQ(Nv12Downscaler::create(1920, 1080, size.width, size.height).has_value(), applies) << size.width << "x" << size.height;
}

// The capture's ratios on pictures small enough to check sample by sample under the sanitizers.
// On noise a sample taken from the wrong place is off by tens; on a flat picture any rounding
// bias shows. Weights are kept to 1/128 and each direction rounds once: at most 3 steps off.
// The AVX2 kernels, and converting captured pixels in one pass, give the same bytes.
TEST(Nv12Downscaler, FollowsAnExactBilinearResamplingInsideItsPlanesWithEitherKernelsAndFromCapturedPixels)
{
    for (auto [source, size] : {std::pair{Size{480, 270}, Size{432, 242}}, {{480, 270}, {320, 180}}, {{1366, 48}, {1280, 44}}, {{1001, 71}, {502, 36}},
                                {{480, 270}, {480, 242}}, {{480, 270}, {240, 50}}, {{41, 11}, {22, 6}}, {{2, 2}, {2, 2}}}) {
        for (const std::uint32_t seed : {5u, 6u, 0u}) {  // 0: one flat colour
            SCOPED_TRACE(std::to_string(source.width) + "x" + std::to_string(source.height) + " -> " + std::to_string(size.width) + "x" + std::to_string(size.height) + " seed " + std::to_string(seed));
            const int argbStride = source.width * 4 + 12;
            Bytes argb(static_cast<std::size_t>(argbStride) * (source.height - 1) + source.width * 4);
            std::mt19937 random(seed);
            for (std::size_t i = 0; i < argb.size(); ++i)
                argb[i] = static_cast<std::uint8_t>(seed ? random() : 40 + i % 4 * 50);
            Planes converted{source, (source.width + 1) / 2 * 2 + 3, {}, {}};
            converted.luma.resize(static_cast<std::size_t>(converted.stride) * (source.height - 1) + source.width);
            converted.chroma.resize(static_cast<std::size_t>(converted.stride) * (converted.half().height - 1) + converted.half().width * 2);
            libyuv::ARGBToNV12(argb.data(), argbStride, converted.luma.data(), converted.stride, converted.chroma.data(), converted.stride, source.width, source.height);
            const Planes expected = downscale(converted, size, Kernels::portable);
            EXPECT_LE(worstDifference(converted.luma, converted.stride, source, expected.luma, expected.stride, size, 1), seed ? 3.0 : 0.0);
            EXPECT_LE(worstDifference(converted.chroma, converted.stride, converted.half(), expected.chroma, expected.stride, expected.half(), 2), seed ? 3.0 : 0.0);
            for (const auto& output : {downscale(converted, size, Kernels::best), downscale(converted, size, Kernels::portable, &argb, argbStride), downscale(converted, size, Kernels::best, &argb, argbStride)})
                EXPECT_TRUE(output.luma == expected.luma && output.chroma == expected.chroma);
        }
    }
}

}  // namespace
}  // namespace kestrio::test
