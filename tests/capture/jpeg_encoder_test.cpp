#include "capture/capture_test_support.h"
#include "capture/jpeg_encoder.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

namespace kestrio::test {
namespace {

using capture::JpegEncoder;
using capture::PixelFormat;
using Bytes = std::vector<std::uint8_t>;

// Width, height, subsampling and BGRX pixels (none when it does not decode).
std::tuple<int, int, int, Bytes> decode(const std::optional<Bytes>& jpeg)
{
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsampling = -1, colorspace = 0;
    Bytes bgrx;
    if (jpeg && tjDecompressHeader3(handle, jpeg->data(), jpeg->size(), &width, &height, &subsampling, &colorspace) == 0) {
        bgrx.resize(static_cast<std::size_t>(width) * height * 4);
        if (tjDecompress2(handle, jpeg->data(), jpeg->size(), bgrx.data(), width, 0, height, TJPF_BGRX, 0) != 0)
            bgrx.clear();
    }
    tjDestroy(handle);
    return {width, height, subsampling, bgrx};
}

// One encoder across sizes and formats: a peak signal-to-noise ratio of at least 30 dB over the
// colour channels, smaller at a lower quality. Frames without pixels are refused.
TEST(JpegEncoder, EncodesAFaithfulPictureThroughTheStridesInFullRangeAndRefusesFramesWithoutPixels)
{
    JpegEncoder sharp(78), dataSaver(45);
    for (auto [format, width, height] : {std::tuple{PixelFormat::nv12, 320, 180}, {PixelFormat::nv12, 2, 2}, {PixelFormat::bgra, 320, 180}, {PixelFormat::bgra, 2, 2}}) {
        const auto source = makeTestFrame(format, width, height);
        const auto jpeg = sharp.encode(source.frame);
        const auto [decodedWidth, decodedHeight, subsampling, bgrx] = decode(jpeg);
        EXPECT_EQ(std::make_tuple(decodedWidth, decodedHeight, subsampling, bgrx.size()), std::make_tuple(width, height, int(TJSAMP_420), source.bgra.size()));
        double squares = 0;
        for (std::size_t i = 0; i < bgrx.size(); ++i)
            squares += i % 4 == 3 ? 0 : std::pow(bgrx[i] - source.bgra[i], 2);
        EXPECT_LE(squares / (width * height * 3), width == 2 ? 1e9 : 255.0 * 255.0 / 1000) << width;
        EXPECT_TRUE(width == 2 || dataSaver.encode(source.frame)->size() < jpeg->size());
    }

    // Padded rows, as capture buffers often have, must not leak into the picture; NV12 is video
    // range, and a viewer must still see true black and white.
    auto storage = std::make_shared<Bytes>(24 * 16 + 20 * 8, 0xEE);
    for (int row = 0; row < 16; ++row)
        for (int x = 0; x < 16; ++x)
            (*storage)[row * 24 + x] = x < 8 ? 16 : 235, (*storage)[24 * 16 + row / 2 * 20 + x] = 128;
    const Bytes bgrx = std::get<3>(decode(sharp.encode({PixelFormat::nv12, 16, 16, {storage->data(), storage->data() + 24 * 16}, {24, 20}, {}, storage})));
    ASSERT_EQ(bgrx.size(), 16u * 16 * 4);
    for (int row = 0; row < 16; ++row)
        EXPECT_TRUE(bgrx[(row * 16 + 2) * 4] <= 6 && bgrx[(row * 16 + 13) * 4] >= 249) << row;

    auto missingChroma = makeTestFrame(PixelFormat::nv12, 16, 16).frame;
    missingChroma.planes[1] = nullptr;
    EXPECT_FALSE(sharp.encode(capture::VideoFrame{}) || sharp.encode(missingChroma));
    EXPECT_TRUE(sharp.encode(makeTestFrame(PixelFormat::bgra, 16, 16).frame));  // still usable
}

}  // namespace
}  // namespace kestrio::test
