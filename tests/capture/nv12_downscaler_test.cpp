#include "capture/nv12_downscaler.h"

#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>

#include <cmath>
#include <random>
#include <string>

namespace kestrio::test {
namespace {

using capture::Nv12Downscaler;
using Bytes = std::vector<std::uint8_t>;

struct Size {
    int width, height;
    Size half() const { return {(width + 1) / 2, (height + 1) / 2}; }
};

constexpr std::uint8_t marker = 0xA5;

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

// The capture's ratios on pictures small enough to check sample by sample under the sanitizers;
// every plane in a buffer of its own, so that a read past one is a sanitizer error. On noise a
// sample taken from the wrong place is off by tens; on a flat picture any rounding bias shows.
// Weights are kept to 1/128 and each direction rounds once: at most 3 steps off. The AVX2
// kernels, and converting captured pixels in one pass, give the same bytes.
TEST(Nv12Downscaler, AppliesToShrinkingByAtMostHalfAcrossAndFollowsAnExactBilinearResamplingInsideItsPlanes)
{
    // Rows may shrink further than half; not under half across, enlarging, odd or empty sizes.
    for (auto [size, applies] : {std::pair{Size{1728, 972}, true}, {{960, 200}, true}, {{958, 540}, false}, {{1920, 1082}, false}, {{1728, 971}, false}, {{0, 0}, false}})
        EXPECT_EQ(Nv12Downscaler::create(1920, 1080, size.width, size.height).has_value(), applies) << size.width << "x" << size.height;
    for (auto [from, to] : {std::pair{Size{480, 270}, Size{432, 242}}, {{480, 270}, {320, 180}}, {{1366, 48}, {1280, 44}}, {{1001, 71}, {502, 36}},
                            {{480, 270}, {480, 242}}, {{480, 270}, {240, 50}}, {{41, 11}, {22, 6}}, {{2, 2}, {2, 2}}}) {
        for (const std::uint32_t seed : {5u, 6u, 0u}) {  // 0: one flat colour
            SCOPED_TRACE(std::to_string(from.width) + "x" + std::to_string(from.height) + " -> " + std::to_string(to.width) + "x" + std::to_string(to.height) + " seed " + std::to_string(seed));
            const int argbStride = from.width * 4 + 12, stride = from.half().width * 2 + 3, outputStride = to.width + 24;
            Bytes argb(static_cast<std::size_t>(argbStride) * (from.height - 1) + from.width * 4), luma(static_cast<std::size_t>(stride) * (from.height - 1) + from.width),
                chroma(static_cast<std::size_t>(stride) * (from.half().height - 1) + from.half().width * 2);
            std::mt19937 random(seed);
            for (std::size_t i = 0; i < argb.size(); ++i)
                argb[i] = static_cast<std::uint8_t>(seed ? random() : 40 + i % 4 * 50);
            libyuv::ARGBToNV12(argb.data(), argbStride, luma.data(), stride, chroma.data(), stride, from.width, from.height);
            // Portable and best kernels, from NV12 and from ARGB; the padding and 64 bytes after each plane hold the marker.
            std::vector<std::pair<Bytes, Bytes>> outputs;
            for (int variant = 0; variant < 4; ++variant) {
                auto& [outputLuma, outputChroma] = outputs.emplace_back(Bytes(static_cast<std::size_t>(outputStride) * to.height + 64, marker),
                                                                        Bytes(static_cast<std::size_t>(outputStride) * to.half().height + 64, marker));
                auto scaler = Nv12Downscaler::create(from.width, from.height, to.width, to.height, variant % 2 ? Nv12Downscaler::Kernels::best : Nv12Downscaler::Kernels::portable);
                ASSERT_TRUE(scaler);
                if (variant < 2)
                    scaler->scale(luma.data(), stride, chroma.data(), stride, outputLuma.data(), outputStride, outputChroma.data(), outputStride);
                else
                    scaler->scaleArgb(argb.data(), argbStride, outputLuma.data(), outputStride, outputChroma.data(), outputStride);
                EXPECT_TRUE(outputs.back() == outputs.front()) << variant;
            }
            EXPECT_LE(worstDifference(luma, stride, from, outputs[0].first, outputStride, to, 1), seed ? 3.0 : 0.0);
            EXPECT_LE(worstDifference(chroma, stride, from.half(), outputs[0].second, outputStride, to.half(), 2), seed ? 3.0 : 0.0);
        }
    }
}

}  // namespace
}  // namespace kestrio::test
