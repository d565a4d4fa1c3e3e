#include "capture/argb_frame_converter.h"
#include "support/frame_pixels.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using namespace capture;

constexpr int sourceWidth = 640, sourceHeight = 480, sourceStride = sourceWidth * 4 + 64;

// Blocks in B, G, R, X order with the X byte left at zero, in rows longer than the picture.
std::vector<std::uint8_t> blockPicture()
{
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(sourceStride) * sourceHeight, 0x5a);
    for (int y = 0; y < sourceHeight; ++y)
        for (int x = 0; x < sourceWidth; ++x) {
            const std::uint32_t rgb = blockColour(x, y);
            std::uint8_t* at = &pixels[static_cast<std::size_t>(y) * sourceStride + x * 4];
            at[0] = rgb & 0xff, at[1] = (rgb >> 8) & 0xff, at[2] = (rgb >> 16) & 0xff, at[3] = 0;
        }
    return pixels;
}

// NV12 at 320x240 and 400x300 goes through the downscaler where the processor has AVX2; at
// 240x180, under half across, always through libyuv's scaling. Odd sizes round the chroma plane up.
TEST(ArgbFrameConverter, FramesAreThePictureScaledAndConvertedThroughTheSourcesStrideWithOpaquePixels)
{
    const auto picture = blockPicture();
    for (const auto& [width, height, format] : {std::tuple{640, 480, PixelFormat::bgra}, {320, 240, PixelFormat::bgra}, {640, 480, PixelFormat::nv12},
                                                {320, 240, PixelFormat::nv12}, {400, 300, PixelFormat::nv12}, {240, 180, PixelFormat::nv12},
                                                {321, 241, PixelFormat::nv12}}) {
        const bool nv12 = format == PixelFormat::nv12;
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + (nv12 ? " nv12" : " bgra"));
        ArgbFrameConverter converter(sourceWidth, sourceHeight, width, height, format, 1);
        const auto frame = converter.convert(picture.data(), sourceStride);
        ASSERT_TRUE(frame);
        const int chromaStride = (width + 1) / 2 * 2;
        EXPECT_EQ(std::make_tuple(frame->format, frame->width, frame->height, frame->strides[0], frame->strides[1]),
                  std::make_tuple(format, width, height, nv12 ? width : width * 4, nv12 ? chromaStride : 0));
        EXPECT_EQ(ArgbFrameConverter::frameBytes(width, height, format),
                  nv12 ? std::size_t(width * height + chromaStride * ((height + 1) / 2)) : std::size_t(width * height * 4));
        for (int y = 20; y < sourceHeight; y += 40)
            for (int x = 20; x < sourceWidth; x += 40)
                EXPECT_TRUE(shows(*frame, x * width / sourceWidth, y * height / sourceHeight, blockColour(x, y))) << x << "," << y;
        int mismatches = 0;
        for (int y = 0; !nv12 && y < height; ++y)
            for (int x = 0; x < width; ++x)
                mismatches += frame->planes[0][y * frame->strides[0] + x * 4 + 3] != 0xff || (width == sourceWidth && !shows(*frame, x, y, blockColour(x, y), 0));
        EXPECT_EQ(mismatches, 0);
    }
}

// A frame's buffer comes back when its last copy goes, also after the converter is gone; while
// consumers hold every buffer, nothing is converted.
TEST(ArgbFrameConverter, HandsOutItsPoolsBuffersUntilConsumersHoldThemAllAndTakesEachBackWithItsLastCopy)
{
    const auto picture = blockPicture();
    auto converter = std::make_unique<ArgbFrameConverter>(sourceWidth, sourceHeight, 64, 48, PixelFormat::bgra, 2);
    auto first = converter->convert(picture.data(), sourceStride);
    auto second = converter->convert(picture.data(), sourceStride);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->planes[0], second->planes[0]);
    EXPECT_FALSE(converter->available() || converter->convert(picture.data(), sourceStride));
    VideoFrame copy = *first;
    first.reset();
    EXPECT_FALSE(converter->available()) << "a copy still holds it";
    const auto* buffer = copy.planes[0];
    copy = {};
    ASSERT_TRUE(converter->available());
    EXPECT_EQ(converter->convert(picture.data(), sourceStride)->planes[0], buffer);
    converter.reset();
    EXPECT_TRUE(shows(*second, 0, 0, blockColour(0, 0), 8)) << "a held frame outlives its converter";
}

// What the converter's frames cannot show: their storage keeps the pool, and no more than that.
TEST(FramePool, AShareKeepsItsPoolUntilItsLastCopyIsGone)
{
    auto pool = std::make_shared<FramePool>(1, 16);
    auto shared = pool->share(pool->acquire());
    std::weak_ptr<FramePool> held = pool;
    pool.reset();
    EXPECT_FALSE(held.expired());
    shared.reset();
    EXPECT_TRUE(held.expired());
}

}  // namespace
}  // namespace kestrio::test
