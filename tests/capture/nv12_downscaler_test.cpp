// The NV12 downscaler: where it applies, faithful to an exact bilinear resampling, flat areas kept
// exact, the AVX2 kernels equal to the portable code bit for bit, and no byte read or written
// outside the planes it is given.

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
    int width;
    int height;
};

struct Case {
    Size source;
    Size output;
};

// Both planes in one exactly sized buffer each, so that a read past them is a sanitizer error.
struct Picture {
    Size size;
    int stride = 0;
    std::vector<std::uint8_t> luma;
    std::vector<std::uint8_t> chroma;

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

// Output planes with a stride wider than the rows; the padding and the bytes after the planes
// hold a marker that must survive.
constexpr std::uint8_t marker = 0xA5;
constexpr int outputPadding = 24;

Picture makeOutput(Size size)
{
    Picture picture{size, size.width + outputPadding, {}, {}};
    picture.luma.assign(static_cast<std::size_t>(picture.stride) * size.height + 64, marker);
    picture.chroma.assign(static_cast<std::size_t>(picture.stride) * picture.chromaHeight() + 64, marker);
    return picture;
}

Picture downscale(const Picture& source, Size size, Kernels kernels)
{
    auto scaler = Nv12Downscaler::create(source.size.width, source.size.height, size.width, size.height, kernels);
    EXPECT_TRUE(scaler.has_value());
    Picture output = makeOutput(size);
    if (!scaler)
        return output;
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
    const double sx = position(x, width, sourceWidth);
    const double sy = position(y, height, sourceHeight);
    const int x0 = static_cast<int>(sx);
    const int y0 = static_cast<int>(sy);
    const int x1 = std::min(x0 + 1, sourceWidth - 1);
    const int y1 = std::min(y0 + 1, sourceHeight - 1);
    auto at = [&](int px, int py) {
        return static_cast<double>(plane[static_cast<std::size_t>(py) * stride + px * components + component]);
    };
    const double fx = sx - x0;
    const double fy = sy - y0;
    const double top = at(x0, y0) * (1 - fx) + at(x1, y0) * fx;
    const double bottom = at(x0, y1) * (1 - fx) + at(x1, y1) * fx;
    return top * (1 - fy) + bottom * fy;
}

std::string describe(const Case& c)
{
    return std::to_string(c.source.width) + " -> " + std::to_string(c.output.width) + "x" + std::to_string(c.output.height);
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
    EXPECT_TRUE(Nv12Downscaler::create(1920, 1080, 1728, 972));
    EXPECT_TRUE(Nv12Downscaler::create(1920, 1080, 960, 200));  // rows may shrink further
    EXPECT_FALSE(Nv12Downscaler::create(1920, 1080, 958, 540));   // under half across
    EXPECT_FALSE(Nv12Downscaler::create(1920, 1080, 1920, 1082));  // enlarging
    EXPECT_FALSE(Nv12Downscaler::create(1920, 1080, 1728, 971));  // odd size
    EXPECT_FALSE(Nv12Downscaler::create(1920, 1080, 0, 0));
}

// On noise, a sample taken from the wrong place is off by tens; on a flat picture, any rounding
// bias shows.
TEST(Nv12Downscaler, FollowsAnExactBilinearResamplingKeepsFlatColoursExactAndStaysInsideItsPlanes)
{
    for (const bool flat : {false, true}) {
        for (Kernels kernels : {Kernels::portable, Kernels::best}) {
            for (const Case& c : cases()) {
                SCOPED_TRACE(describe(c) + (kernels == Kernels::best ? " best" : " portable") + (flat ? " flat" : " noise"));
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
        SCOPED_TRACE(describe(c));
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
                auto scaler = Nv12Downscaler::create(c.source.width, c.source.height, c.output.width, c.output.height, kernels);
                ASSERT_TRUE(scaler);
                Picture output = makeOutput(c.output);
                scaler->scaleArgb(argb.data(), argbStride, output.luma.data(), output.stride, output.chroma.data(), output.stride);
                ASSERT_EQ(output.luma, expected.luma);
                ASSERT_EQ(output.chroma, expected.chroma);
            }
        }
    }
}

}  // namespace
}  // namespace kestrio::test
