#include "capture/nv12_downscaler.h"

#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace kestrio::test {
namespace {

using capture::Nv12Downscaler;
using Kernels = Nv12Downscaler::Kernels;

struct Size {
    int width, height;
};
struct Case {
    Size source, output;
};

// Both planes in one exactly sized buffer each, so that a read past them is a sanitizer error.
struct Picture {
    Size size;
    int stride = 0;
    std::vector<std::uint8_t> luma, chroma;

    int chromaWidth() const { return (size.width + 1) / 2; }
    int chromaHeight() const { return (size.height + 1) / 2; }
};

Picture makePicture(Size size, int stride, std::uint32_t seed, bool flat = false)
{
    Picture picture{size, stride, {}, {}};
    picture.luma.resize(static_cast<std::size_t>(stride) * (size.height - 1) + size.width);
    picture.chroma.resize(static_cast<std::size_t>(stride) * (picture.chromaHeight() - 1) + picture.chromaWidth() * 2);
    std::mt19937 random(seed);
    for (auto& byte : picture.luma)
        byte = flat ? 201 : static_cast<std::uint8_t>(random());
    for (std::size_t i = 0; i < picture.chroma.size(); ++i)
        picture.chroma[i] = flat ? static_cast<std::uint8_t>(i % 2 ? 37 : 140) : static_cast<std::uint8_t>(random());
    return picture;
}

constexpr std::uint8_t marker = 0xA5;

// Scales `source`, or ARGB pixels of its size when given, into planes with a stride wider than
// the rows; the padding and the bytes after the planes hold a marker that must survive.
Picture downscale(const Picture& source, Size size, Kernels kernels, const std::uint8_t* argb = nullptr, int argbStride = 0)
{
    auto scaler = Nv12Downscaler::create(source.size.width, source.size.height, size.width, size.height, kernels);
    EXPECT_TRUE(scaler.has_value());
    Picture output{size, size.width + 24, {}, {}};
    output.luma.assign(static_cast<std::size_t>(output.stride) * size.height + 64, marker);
    output.chroma.assign(static_cast<std::size_t>(output.stride) * output.chromaHeight() + 64, marker);
    if (scaler && argb)
        scaler->scaleArgb(argb, argbStride, output.luma.data(), output.stride, output.chroma.data(), output.stride);
    else if (scaler)
        scaler->scale(source.luma.data(), source.stride, source.chroma.data(), source.stride, output.luma.data(), output.stride,
                      output.chroma.data(), output.stride);
    return output;
}

// The exact bilinear value at output sample (x, y) of a plane with `components` interleaved
// components, sample centres aligned.
double exactBilinear(const std::vector<std::uint8_t>& plane, int stride, int sourceWidth, int sourceHeight, int width,
                     int height, int components, int x, int y, int component)
{
    auto position = [](int index, int count, int sourceCount) {
        double centre = (index + 0.5) * sourceCount / count - 0.5;
        return std::clamp(centre, 0.0, static_cast<double>(sourceCount - 1));
    };
    const double sx = position(x, width, sourceWidth), sy = position(y, height, sourceHeight);
    const int x0 = static_cast<int>(sx), y0 = static_cast<int>(sy);
    const int x1 = std::min(x0 + 1, sourceWidth - 1), y1 = std::min(y0 + 1, sourceHeight - 1);
    auto at = [&](int px, int py) {
        return static_cast<double>(plane[static_cast<std::size_t>(py) * stride + px * components + component]);
    };
    const double fx = sx - x0, fy = sy - y0;
    return (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) + (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
}

// The capture's ratios on pictures small enough to check sample by sample in sanitized builds.
const std::vector<Case>& cases()
{
    static const std::vector<Case> all = {
        {{480, 270}, {432, 242}},   // balanced's 10:9 from full HD
        {{480, 270}, {320, 180}},   // data saver's 2:3
        {{1366, 48}, {1280, 44}},   // odd chroma width at the source
        {{1001, 71}, {502, 36}},    // odd source, close to half
        {{480, 270}, {480, 242}},   // rows only
        {{41, 11}, {22, 6}},        // narrower than one window
        {{2, 2}, {2, 2}},           // the smallest picture, unchanged
    };
    return all;
}

TEST(Nv12Downscaler, AppliesOnlyToShrinkingByAtMostHalfAcrossToEvenSizes)
{
    // Rows may shrink further than half; not under half across, enlarging, odd or empty sizes.
    for (auto [size, applies] : {std::pair{Size{1728, 972}, true}, {{960, 200}, true}, {{958, 540}, false}, {{1920, 1082}, false},
                                 {{1728, 971}, false}, {{0, 0}, false}})
        EXPECT_EQ(Nv12Downscaler::create(1920, 1080, size.width, size.height).has_value(), applies) << size.width << "x" << size.height;
}

// On noise, a sample taken from the wrong place is off by tens; on a flat picture, any rounding
// bias shows.
TEST(Nv12Downscaler, FollowsAnExactBilinearResamplingKeepsFlatColoursExactAndStaysInsideItsPlanes)
{
    for (const bool flat : {false, true}) {
        for (Kernels kernels : {Kernels::portable, Kernels::best}) {
            for (const Case& c : cases()) {
                SCOPED_TRACE(std::to_string(c.source.width) + " -> " + std::to_string(c.output.width) + (kernels == Kernels::best ? " best" : " portable") + (flat ? " flat" : " noise"));
                const Picture source = makePicture(c.source, c.source.width * 2 + 8, 7, flat);
                const Picture output = downscale(source, c.output, kernels);
                double worst = 0;
                for (int y = 0; y < c.output.height; ++y) {
                    for (int x = 0; x < c.output.width; ++x) {
                        const double exact = exactBilinear(source.luma, source.stride, c.source.width, c.source.height,
                                                           c.output.width, c.output.height, 1, x, y, 0);
                        worst = std::max(worst, std::abs(output.luma[static_cast<std::size_t>(y) * output.stride + x] - exact));
                    }
                }
                for (int y = 0; y < output.chromaHeight(); ++y) {
                    for (int x = 0; x < output.chromaWidth(); ++x) {
                        for (int component = 0; component < 2; ++component) {
                            const double exact = exactBilinear(source.chroma, source.stride, source.chromaWidth(), source.chromaHeight(),
                                                               output.chromaWidth(), output.chromaHeight(), 2, x, y, component);
                            const auto value = output.chroma[static_cast<std::size_t>(y) * output.stride + x * 2 + component];
                            worst = std::max(worst, std::abs(value - exact));
                        }
                    }
                }
                // Weights are kept to 1/128 (off by at most 1/256 of a neighbour difference of up to
                // 255) and each direction rounds once: at most 2 x (1 + 0.5) steps from the exact value.
                EXPECT_LE(worst, flat ? 0.0 : 3.0);

                for (const auto* plane : {&output.luma, &output.chroma}) {
                    const int rows = plane == &output.luma ? output.size.height : output.chromaHeight();
                    const int rowBytes = plane == &output.luma ? output.size.width : output.chromaWidth() * 2;
                    for (std::size_t i = 0; i < plane->size(); ++i) {
                        if (static_cast<int>(i / output.stride) >= rows || static_cast<int>(i % output.stride) >= rowBytes) {
                            ASSERT_EQ((*plane)[i], marker) << "written outside the picture at byte " << i;
                        }
                    }
                }
            }
        }
    }
}

// Converting and scaling captured pixels in one pass gives what converting the whole picture
// first gives, and nothing of one picture stays behind in the next; the AVX2 kernels give what
// the portable code gives, bit for bit.
TEST(Nv12Downscaler, ScalesCapturedPixelsInOnePassAsConvertingFirstDoesWithEitherKernels)
{
    std::vector<Case> all = cases();
    all.push_back({{1920, 1080}, {1728, 972}});
    all.push_back({{1920, 1080}, {960, 200}});  // many source rows per output row
    for (const Case& c : all) {
        SCOPED_TRACE(std::to_string(c.source.width) + " -> " + std::to_string(c.output.width));
        const int argbStride = c.source.width * 4 + 12;
        std::vector<std::uint8_t> argb(static_cast<std::size_t>(argbStride) * (c.source.height - 1) + c.source.width * 4);
        for (const std::uint32_t seed : {5u, 6u}) {
            std::mt19937 random(seed);
            for (auto& byte : argb)
                byte = static_cast<std::uint8_t>(random());
            Picture converted = makePicture(c.source, (c.source.width + 1) / 2 * 2 + 3, 0);
            libyuv::ARGBToNV12(argb.data(), argbStride, converted.luma.data(), converted.stride, converted.chroma.data(),
                               converted.stride, c.source.width, c.source.height);
            const Picture expected = downscale(converted, c.output, Kernels::portable);
            const Picture best = downscale(converted, c.output, Kernels::best);
            EXPECT_TRUE(best.luma == expected.luma && best.chroma == expected.chroma);
            for (const Kernels kernels : {Kernels::portable, Kernels::best}) {
                const Picture output = downscale(converted, c.output, kernels, argb.data(), argbStride);
                ASSERT_TRUE(output.luma == expected.luma && output.chroma == expected.chroma);
            }
        }
    }
}

}  // namespace
}  // namespace kestrio::test
