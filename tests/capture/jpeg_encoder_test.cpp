#include "capture/capture_fakes_support.h"
#include "capture/jpeg_encoder.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

namespace kestrio::test {
namespace {

using capture::JpegEncoder;
using capture::PixelFormat;

struct Decoded {
    int width = 0;
    int height = 0;
    int subsampling = -1;
    std::vector<std::uint8_t> bgrx;
};

std::optional<Decoded> decode(const std::vector<std::uint8_t>& jpeg)
{
    tjhandle handle = tjInitDecompress();
    Decoded decoded;
    int colorspace = 0;
    std::optional<Decoded> result;
    if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &decoded.width, &decoded.height, &decoded.subsampling, &colorspace) == 0) {
        decoded.bgrx.resize(static_cast<std::size_t>(decoded.width) * decoded.height * 4);
        if (tjDecompress2(handle, jpeg.data(), jpeg.size(), decoded.bgrx.data(), decoded.width, 0, decoded.height, TJPF_BGRX, 0) == 0)
            result = std::move(decoded);
    }
    tjDestroy(handle);
    return result;
}

TEST(JpegEncoder, EncodesACompleteFaithfulPictureAtTheFrameSizeSmallerAtLowerQuality)
{
    for (PixelFormat format : {PixelFormat::nv12, PixelFormat::bgra}) {
        SCOPED_TRACE(format == PixelFormat::nv12 ? "nv12" : "bgra");
        JpegEncoder sharp(78);
        JpegEncoder dataSaver(45);
        // The encoder is reused across sizes.
        for (auto [width, height] : {std::pair{320, 180}, std::pair{2, 2}}) {
            const auto source = makeTestFrame(format, width, height);
            const auto jpeg = sharp.encode(source.frame);
            ASSERT_TRUE(jpeg);
            const auto decoded = decode(*jpeg);
            ASSERT_TRUE(decoded);
            EXPECT_EQ(std::make_tuple(decoded->width, decoded->height, decoded->subsampling), std::make_tuple(width, height, int(TJSAMP_420)));
            if (width == 2)
                continue;
            EXPECT_GE(psnr(decoded->bgrx, source.bgra), 30.0);
            EXPECT_LT(dataSaver.encode(source.frame)->size(), jpeg->size());
        }
    }
}

TEST(JpegEncoder, ReadsRowsThroughTheStrides)
{
    // Padded rows, as capture buffers often have: the padding must not leak into the picture.
    const auto tight = makeTestFrame(PixelFormat::nv12, 64, 32);
    const int paddedLuma = 96;
    const int paddedChroma = 80;
    auto storage = std::make_shared<std::vector<std::uint8_t>>(paddedLuma * 32 + paddedChroma * 16, 0xEE);
    for (int row = 0; row < 32; ++row)
        std::copy_n(tight.frame.planes[0] + row * tight.frame.strides[0], 64, storage->data() + row * paddedLuma);
    for (int row = 0; row < 16; ++row)
        std::copy_n(tight.frame.planes[1] + row * tight.frame.strides[1], 64, storage->data() + paddedLuma * 32 + row * paddedChroma);
    auto padded = tight.frame;
    padded.planes = {storage->data(), storage->data() + paddedLuma * 32};
    padded.strides = {paddedLuma, paddedChroma};
    padded.storage = storage;

    JpegEncoder encoder(62);
    EXPECT_EQ(encoder.encode(padded), encoder.encode(tight.frame));
}

TEST(JpegEncoder, VideoRangeBlackAndWhiteBecomeFullRange)
{
    // NV12 frames are video range; a viewer decoding the JPEG must still see true black and white.
    const int width = 16;
    const int height = 16;
    auto storage = std::make_shared<std::vector<std::uint8_t>>(width * height * 3 / 2, 128);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            (*storage)[y * width + x] = x < width / 2 ? 16 : 235;
    capture::VideoFrame frame;
    frame.format = PixelFormat::nv12;
    frame.width = width;
    frame.height = height;
    frame.planes = {storage->data(), storage->data() + width * height};
    frame.strides = {width, width};
    frame.storage = storage;

    JpegEncoder encoder(78);
    const auto jpeg = encoder.encode(frame);
    ASSERT_TRUE(jpeg);
    const auto decoded = decode(*jpeg);
    ASSERT_TRUE(decoded);
    EXPECT_LE(decoded->bgrx[(4 * width + 2) * 4], 6);
    EXPECT_GE(decoded->bgrx[(4 * width + 13) * 4], 249);
}

TEST(JpegEncoder, FramesWithoutPixelsGiveNothing)
{
    JpegEncoder encoder(62);
    capture::VideoFrame empty;
    EXPECT_FALSE(encoder.encode(empty));
    auto missingChroma = makeTestFrame(PixelFormat::nv12, 16, 16).frame;
    missingChroma.planes[1] = nullptr;
    EXPECT_FALSE(encoder.encode(missingChroma));
    // A failed frame leaves the encoder usable.
    EXPECT_TRUE(encoder.encode(makeTestFrame(PixelFormat::bgra, 16, 16).frame));
}

}  // namespace
}  // namespace kestrio::test
