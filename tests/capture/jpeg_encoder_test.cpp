#include "capture/capture_test_support.h"
#include "capture/jpeg_encoder.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <optional>

namespace kestrio::test {
namespace {

using capture::JpegEncoder;
using capture::PixelFormat;

struct Decoded {
    int width = 0, height = 0, subsampling = -1;
    std::vector<std::uint8_t> bgrx;
};

std::optional<Decoded> decode(const std::optional<std::vector<std::uint8_t>>& jpeg)
{
    if (!jpeg)
        return std::nullopt;
    tjhandle handle = tjInitDecompress();
    Decoded decoded;
    int colorspace = 0;
    std::optional<Decoded> result;
    if (tjDecompressHeader3(handle, jpeg->data(), jpeg->size(), &decoded.width, &decoded.height, &decoded.subsampling, &colorspace) == 0) {
        decoded.bgrx.resize(static_cast<std::size_t>(decoded.width) * decoded.height * 4);
        if (tjDecompress2(handle, jpeg->data(), jpeg->size(), decoded.bgrx.data(), decoded.width, 0, decoded.height, TJPF_BGRX, 0) == 0)
            result = std::move(decoded);
    }
    tjDestroy(handle);
    return result;
}

// NV12 planes from `luma` and `chroma` rows with the given strides (padding 0xEE).
capture::VideoFrame nv12Frame(int width, int height, int lumaStride, int chromaStride, auto&& luma, auto&& chroma)
{
    auto storage = std::make_shared<std::vector<std::uint8_t>>(lumaStride * height + chromaStride * height / 2, 0xEE);
    for (int row = 0; row < height; ++row)
        for (int x = 0; x < width; ++x)
            (*storage)[row * lumaStride + x] = luma(x, row), (*storage)[lumaStride * height + row / 2 * chromaStride + x] = chroma(x, row / 2);
    return {PixelFormat::nv12, width, height, {storage->data(), storage->data() + lumaStride * height}, {lumaStride, chromaStride}, {}, storage};
}

TEST(JpegEncoder, EncodesACompleteFaithfulPictureAtTheFrameSizeSmallerAtLowerQuality)
{
    for (PixelFormat format : {PixelFormat::nv12, PixelFormat::bgra}) {
        SCOPED_TRACE(format == PixelFormat::nv12 ? "nv12" : "bgra");
        JpegEncoder sharp(78), dataSaver(45);
        for (auto [width, height] : {std::pair{320, 180}, std::pair{2, 2}}) {  // one encoder across sizes
            const auto source = makeTestFrame(format, width, height);
            const auto jpeg = sharp.encode(source.frame);
            const auto decoded = decode(jpeg);
            ASSERT_TRUE(decoded);
            EXPECT_EQ(std::make_tuple(decoded->width, decoded->height, decoded->subsampling), std::make_tuple(width, height, int(TJSAMP_420)));
            if (width != 2) {
                EXPECT_GE(psnr(decoded->bgrx, source.bgra), 30.0);
                EXPECT_LT(dataSaver.encode(source.frame)->size(), jpeg->size());
            }
        }
    }
}

TEST(JpegEncoder, ReadsRowsThroughTheStridesAndMakesVideoRangeBlackAndWhiteFullRange)
{
    // Padded rows, as capture buffers often have: the padding must not leak into the picture.
    const auto tight = makeTestFrame(PixelFormat::nv12, 64, 32).frame;
    const auto at = [](const capture::VideoFrame& frame, int plane) {
        return [&frame, plane](int x, int y) { return frame.planes[plane][y * frame.strides[plane] + x]; };
    };
    JpegEncoder encoder(62);
    EXPECT_EQ(encoder.encode(nv12Frame(64, 32, 96, 80, at(tight, 0), at(tight, 1))), encoder.encode(tight));
    // NV12 frames are video range; a viewer decoding the JPEG must still see true black and white.
    const auto decoded = decode(encoder.encode(nv12Frame(16, 16, 16, 16, [](int x, int) { return x < 8 ? 16 : 235; }, [](int, int) { return 128; })));
    ASSERT_TRUE(decoded);
    EXPECT_LE(decoded->bgrx[(4 * 16 + 2) * 4], 6);
    EXPECT_GE(decoded->bgrx[(4 * 16 + 13) * 4], 249);
}

TEST(JpegEncoder, FramesWithoutPixelsGiveNothing)
{
    JpegEncoder encoder(62);
    auto missingChroma = makeTestFrame(PixelFormat::nv12, 16, 16).frame;
    missingChroma.planes[1] = nullptr;
    EXPECT_FALSE(encoder.encode(capture::VideoFrame{}) || encoder.encode(missingChroma));
    EXPECT_TRUE(encoder.encode(makeTestFrame(PixelFormat::bgra, 16, 16).frame));  // still usable
}

}  // namespace
}  // namespace kestrio::test
