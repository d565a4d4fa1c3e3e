#include "viewer/image_file.h"

#include "viewer/h264_decoder.h"
#include "viewer/jpeg_decoder.h"
#include "support/test_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrio::viewer {
namespace {

RgbImage makeImage(int width, int height)
{
    RgbImage image{width, height, {}};
    image.pixels.resize(image.rowBytes() * static_cast<std::size_t>(height));
    for (std::size_t i = 0; i < image.pixels.size(); ++i)
        image.pixels[i] = static_cast<std::uint8_t>(i * 7 + i / 97);
    return image;
}

// libavcodec's PNG decoder, strict about checksums, as an independent reader.
std::optional<RgbImage> decodePng(const std::string& png)
{
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->err_recognition = AV_EF_CRCCHECK | AV_EF_EXPLODE;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::optional<RgbImage> result;
    if (avcodec_open2(context, codec, nullptr) == 0 && av_new_packet(packet, static_cast<int>(png.size())) == 0) {
        std::copy(png.begin(), png.end(), packet->data);
        if (avcodec_send_packet(context, packet) == 0 && avcodec_receive_frame(context, frame) == 0
            && frame->format == AV_PIX_FMT_RGB24) {
            RgbImage image{frame->width, frame->height, {}};
            for (int y = 0; y < frame->height; ++y) {
                const std::uint8_t* row = frame->data[0] + y * frame->linesize[0];
                image.pixels.insert(image.pixels.end(), row, row + image.rowBytes());
            }
            result = std::move(image);
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return result;
}

TEST(ImageFileTest, WritesValidPngPpmAndJpegOnlyWhereAndAsAsked)
{
    test::TemporaryDirectory directory;
    // Over 64 KiB of scanlines, so that the image spans several stored deflate blocks.
    const RgbImage image = makeImage(181, 130);
    ASSERT_TRUE(saveImage(image, directory.path() / "frame.PNG"));
    const auto decoded = decodePng(test::readFile(directory.path() / "frame.PNG"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 181);
    EXPECT_EQ(decoded->height, 130);
    EXPECT_EQ(decoded->pixels, image.pixels);

    ASSERT_TRUE(saveImage(image, directory.path() / "frame.ppm"));
    EXPECT_EQ(test::readFile(directory.path() / "frame.ppm"),
              "P6\n181 130\n255\n" + std::string(image.pixels.begin(), image.pixels.end()));

    // A smooth picture, so that JPEG at quality 95 keeps every pixel close.
    RgbImage smooth{64, 48, {}};
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            smooth.pixels.insert(smooth.pixels.end(), {static_cast<std::uint8_t>(x * 4), static_cast<std::uint8_t>(y * 5), 120});
    ASSERT_TRUE(saveImage(smooth, directory.path() / "frame.jpg"));
    const std::string jpeg = test::readFile(directory.path() / "frame.jpg");
    RgbImage fromJpeg;
    ASSERT_TRUE(JpegDecoder().decode(std::vector<std::uint8_t>(jpeg.begin(), jpeg.end()), fromJpeg));
    ASSERT_EQ(fromJpeg.pixels.size(), smooth.pixels.size());
    for (std::size_t i = 0; i < smooth.pixels.size(); ++i)
        ASSERT_NEAR(fromJpeg.pixels[i], smooth.pixels[i], 6) << "byte " << i;

    EXPECT_FALSE(saveImage(makeImage(4, 4), directory.path() / "frame.bmp"));
    EXPECT_FALSE(saveImage(makeImage(4, 4), directory.path() / "missing" / "frame.png"));
    EXPECT_FALSE(std::filesystem::exists(directory.path() / "frame.bmp"));
}

// Decoded YUV reaches RGB with the matrix and range the stream declares.
TEST(YuvConversionTest, ConvertsWithTheDeclaredMatrixAndRange)
{
    struct Case {
        AVPixelFormat format;
        AVColorRange range;
        AVColorSpace space;
        std::uint8_t y, cb, cr;
        std::array<int, 3> rgb;
    };
    const Case cases[] = {
        {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT470BG, 81, 90, 240, {255, 0, 0}},
        {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709, 63, 102, 240, {255, 0, 0}},
        {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_UNSPECIFIED, 235, 128, 128, {255, 255, 255}},
        {AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_UNSPECIFIED, AVCOL_SPC_BT470BG, 76, 85, 255, {254, 0, 0}},
        {AV_PIX_FMT_YUV444P, AVCOL_RANGE_JPEG, AVCOL_SPC_BT470BG, 150, 44, 21, {0, 255, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        AVFrame* frame = av_frame_alloc();
        frame->format = c.format;
        frame->width = 6;
        frame->height = 4;
        frame->color_range = c.range;
        frame->colorspace = c.space;
        ASSERT_EQ(av_frame_get_buffer(frame, 0), 0);
        std::fill(frame->data[0], frame->data[0] + frame->linesize[0] * 4, c.y);
        const int chromaRows = 4 >> av_pix_fmt_desc_get(c.format)->log2_chroma_h;
        std::fill(frame->data[1], frame->data[1] + frame->linesize[1] * chromaRows, c.cb);
        std::fill(frame->data[2], frame->data[2] + frame->linesize[2] * chromaRows, c.cr);
        RgbImage out;
        ASSERT_TRUE(convertToRgb(*frame, out));
        av_frame_free(&frame);
        ASSERT_EQ(out.pixels.size(), 6u * 4u * 3u);
        for (int channel = 0; channel < 3; ++channel)
            EXPECT_NEAR(out.pixel(5, 3)[channel], c.rgb[static_cast<std::size_t>(channel)], 2) << "channel " << channel;
    }

    AVFrame* rgb = av_frame_alloc();
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = 2;
    rgb->height = 2;
    ASSERT_EQ(av_frame_get_buffer(rgb, 0), 0);
    RgbImage out;
    EXPECT_FALSE(convertToRgb(*rgb, out));
    av_frame_free(&rgb);
}

}  // namespace
}  // namespace kestrio::viewer
