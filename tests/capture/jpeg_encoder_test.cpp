#include "capture/capture_test_support.h"
#include "capture/jpeg_encoder.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

namespace kestrio::test {
namespace {

using capture::JpegEncoder;
using capture::PixelFormat;

struct Decoded {
    int width = 0, height = 0, subsampling = -1;
    std::vector<std::uint8_t> bgrx;
};

Decoded decode(const std::optional<std::vector<std::uint8_t>>& jpeg)
{
    Decoded decoded;
    tjhandle handle = tjInitDecompress();
    int colorspace = 0;
    if (jpeg && tjDecompressHeader3(handle, jpeg->data(), jpeg->size(), &decoded.width, &decoded.height, &decoded.subsampling, &colorspace) == 0) {
        decoded.bgrx.resize(static_cast<std::size_t>(decoded.width) * decoded.height * 4);
        if (tjDecompress2(handle, jpeg->data(), jpeg->size(), decoded.bgrx.data(), decoded.width, 0, decoded.height, TJPF_BGRX, 0) != 0)
            decoded.bgrx.clear();
    }
    tjDestroy(handle);
    return decoded;
}

TEST(JpegEncoder, EncodesAFaithfulPictureAtTheFrameSizeSmallerAtLowerQuality)
{
    for (PixelFormat format : {PixelFormat::nv12, PixelFormat::bgra}) {
        SCOPED_TRACE(format == PixelFormat::nv12 ? "nv12" : "bgra");
        JpegEncoder sharp(78), dataSaver(45);
        for (auto [width, height] : {std::pair{320, 180}, std::pair{2, 2}}) {  // one encoder across sizes
            const auto source = makeTestFrame(format, width, height);
            const auto jpeg = sharp.encode(source.frame);
            const auto decoded = decode(jpeg);
            EXPECT_EQ(std::make_tuple(decoded.width, decoded.height, decoded.subsampling, decoded.bgrx.size()), std::make_tuple(width, height, int(TJSAMP_420), source.bgra.size()));
            double squares = 0;  // over the colour channels: a peak signal-to-noise ratio of at least 30 dB
            for (std::size_t i = 0; i < decoded.bgrx.size(); ++i)
                squares += i % 4 == 3 ? 0 : std::pow(decoded.bgrx[i] - source.bgra[i], 2);
            EXPECT_LE(squares / (width * height * 3), width == 2 ? 1e9 : 255.0 * 255.0 / 1000);
            EXPECT_TRUE(width == 2 || dataSaver.encode(source.frame)->size() < jpeg->size());
        }
    }
}

// Padded rows, as capture buffers often have, must not leak into the picture; NV12 is video
// range, and a viewer must still see true black and white.
TEST(JpegEncoder, ReadsRowsThroughTheStridesMakesVideoRangeFullRangeAndRefusesFramesWithoutPixels)
{
    auto storage = std::make_shared<std::vector<std::uint8_t>>(24 * 16 + 20 * 8, 0xEE);
    for (int row = 0; row < 16; ++row)
        for (int x = 0; x < 16; ++x)
            (*storage)[row * 24 + x] = x < 8 ? 16 : 235, (*storage)[24 * 16 + row / 2 * 20 + x] = 128;
    JpegEncoder encoder(62);
    const auto decoded = decode(encoder.encode({PixelFormat::nv12, 16, 16, {storage->data(), storage->data() + 24 * 16}, {24, 20}, {}, storage}));
    ASSERT_EQ(decoded.bgrx.size(), 16u * 16 * 4);
    for (int row = 0; row < 16; ++row)
        EXPECT_TRUE(decoded.bgrx[(row * 16 + 2) * 4] <= 6 && decoded.bgrx[(row * 16 + 13) * 4] >= 249) << row;

    auto missingChroma = makeTestFrame(PixelFormat::nv12, 16, 16).frame;
    missingChroma.planes[1] = nullptr;
    EXPECT_FALSE(encoder.encode(capture::VideoFrame{}) || encoder.encode(missingChroma));
    EXPECT_TRUE(encoder.encode(makeTestFrame(PixelFormat::bgra, 16, 16).frame));  // still usable
}

}  // namespace
}  // namespace kestrio::test
