#include "platform/ffmpeg/ffmpeg_h264_encoder.h"

#include "link/h264_packet.h"
#include "viewer/h264_decoder.h"

extern "C" {
#include <libavutil/error.h>
}

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace kestrio::platform::ffmpeg {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Outputs = std::vector<std::optional<capture::EncodedVideoFrame>>;

// NV12 in padded rows: a gradient, a square moving with `index`, and `index` as 16 black or
// white 16×16 blocks along the top edge, for the decoder to read back.
capture::VideoFrame picture(int width, int height, int index)
{
    const int stride = width + 32, squareX = index * 14 % (width - 64);
    auto bytes = std::make_shared<Bytes>(static_cast<std::size_t>(stride) * (height + height / 2));
    for (int y = 0; y < height + height / 2; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool square = x >= squareX && x < squareX + 64 && y >= height / 2 && y < height / 2 + 64;
            const int value = y >= height ? 128 + ((x + index * 7) % 64 - 32) * (x % 2 == 0) : y < 16 && x < 256 ? (index >> (x / 16) & 1) * 219 + 16
                              : square    ? 220 : 40 + x * 120 / width + y * 60 / height;
            (*bytes)[static_cast<std::size_t>(y) * stride + x] = static_cast<std::uint8_t>(value);
        }
    }
    const std::uint8_t* luma = bytes->data();
    return {capture::PixelFormat::nv12, width, height, {luma, luma + static_cast<std::size_t>(stride) * height}, {stride, stride}, {}, bytes};
}

// The output as the viewer receives it; nothing when it makes no well-formed packet.
std::optional<viewer::H264Packet> received(const capture::EncodedVideoFrame& output, Bytes& payload)
{
    payload = link::makeH264Packet(output.isKeyFrame, output.sps, output.pps, output.data).value_or(Bytes{});
    return viewer::parseH264Packet(payload);
}

// The outputs as the viewer decodes them: "<width>x<height> #<index its blocks tell>" per
// picture; nothing when one does not reach it or the decoder reported an error.
std::optional<std::vector<std::string>> decode(const Outputs& outputs)
{
    viewer::H264Decoder decoder;
    std::vector<std::string> pictures;
    for (const auto& output : outputs) {
        Bytes payload;
        const auto packet = output ? received(*output, payload) : std::nullopt;
        viewer::RgbImage image;
        const auto result = packet ? decoder.decode(*packet, image) : viewer::H264Decoder::Result::error;
        if (output && result == viewer::H264Decoder::Result::error)
            return std::nullopt;
        int index = 0;
        for (int bit = 0; bit < 16 && result == viewer::H264Decoder::Result::picture; ++bit)
            index |= (image.pixel(bit * 16 + 8, 8)[1] > 128) << bit;
        if (result == viewer::H264Decoder::Result::picture)
            pictures.push_back(std::to_string(image.width) + "x" + std::to_string(image.height) + " #" + std::to_string(index));
    }
    return pictures;
}

// Every test runs with libx264 driven directly ("x264") and through libavcodec ("libx264").
struct EncoderTest : ::testing::TestWithParam<std::string> {
    std::unique_ptr<capture::H264Encoder> open(capture::H264EncoderSettings settings, std::vector<std::string> candidates = {})
    {
        if (candidates.empty())
            candidates = {GetParam()};
        outputs.clear();
        return FfmpegH264EncoderFactory({.candidates = std::move(candidates)}).create(settings, [this](std::optional<capture::EncodedVideoFrame> output) {
            std::lock_guard lock(mutex);
            outputs.push_back(std::move(output));
            changed.notify_all();
        });
    }
    Outputs collected() { return std::lock_guard(mutex), outputs; }

    std::mutex mutex;
    std::condition_variable changed;
    Outputs outputs;
};

// Also: other frames are refused, a borrowed frame (no storage) may be reused once encode()
// returns while the frames before it keep the encoder busy, nothing is taken after flush().
TEST_P(EncoderTest, EncodesOneAccessUnitPerFrameInOrderWithKeyFramesAndDecodesAtSize)
{
    constexpr int width = 1728, height = 972, frameCount = 12, forcedKeyFrame = 5;
    // The default candidates: no hardware encoder on this machine, so the software fallback.
    auto encoder = open({width, height, 8'000'000, 60}, GetParam() == "x264" ? FfmpegH264EncoderOptions().candidates : std::vector<std::string>{});
    EXPECT_EQ(encoder->name(), GetParam());
    auto bgra = picture(width, height, 0), missingPlane = bgra;
    bgra.format = capture::PixelFormat::bgra, missingPlane.planes[1] = nullptr;
    EXPECT_FALSE(encoder->encode(picture(width + 2, height, 0), false) || encoder->encode(bgra, false) || encoder->encode(missingPlane, false));
    for (int i = 0; i < frameCount; ++i) {
        auto frame = picture(width, height, i);
        const auto storage = std::exchange(frame.storage, nullptr);
        ASSERT_TRUE(encoder->encode(frame, i == forcedKeyFrame));
        std::fill_n(const_cast<std::uint8_t*>(frame.planes[0]), frame.strides[0] * 16, std::uint8_t{0});
    }
    encoder->flush();
    EXPECT_FALSE(encoder->encode(picture(width, height, 0), false));
    const auto result = collected();
    ASSERT_EQ(result.size(), std::size_t{frameCount});
    std::vector<std::string> pictures;
    for (int i = 0; i < frameCount; ++i) {
        ASSERT_TRUE(result[i].has_value()) << i;
        const bool key = i == 0 || i == forcedKeyFrame;
        // Key frames carry the sets and IDR slices, not I slices a decoder cannot start from.
        std::string kinds = result[i]->isKeyFrame ? "key " : "";
        Bytes payload;
        for (const auto unit : received(*result[i], payload).value_or(viewer::H264Packet{}).nalUnits)
            kinds += (unit[0] & 0x1F) == 5 ? "I" : (unit[0] & 0x1F) == 1 ? "P" : "";
        EXPECT_EQ(kinds + (result[i]->sps.empty() ? "" : std::to_string(result[i]->sps[0] & 0x1F)) + (result[i]->pps.empty() ? "" : std::to_string(result[i]->pps[0] & 0x1F)),
                  key ? "key I78" : "P") << i;
        pictures.push_back(std::to_string(width) + "x" + std::to_string(height) + " #" + std::to_string(i));
    }
    EXPECT_EQ(decode(result), pictures);
}

// Key frames come on their own within four seconds; a lower rate takes effect mid-stream.
TEST_P(EncoderTest, KeyFramesComeOnTheirOwnAndALowerBitRateTakesEffectMidStream)
{
    constexpr int fps = 30;
    auto encoder = open({640, 360, 8'000'000, fps});
    for (int i = 0; i < 4 * fps + 10; ++i) {
        if (i == 2 * fps) {  // the new rate applies to the next frame the encoder's thread takes
            std::unique_lock lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return outputs.size() >= 2 * fps; }));
            lock.unlock();
            encoder->setAverageBitRate(400'000);
        }
        ASSERT_TRUE(encoder->encode(picture(640, 360, i), false));
    }
    encoder->flush();
    const auto result = collected();
    ASSERT_EQ(result.size(), std::size_t{4 * fps + 10});
    const auto bytesPerFrame = [&](int first) {  // over half a second, once rate control has settled
        std::size_t bytes = 0;
        for (int i = first; i < first + fps / 2; ++i)
            bytes += result[i] ? result[i]->data.size() : 0;
        return bytes / (fps / 2);
    };
    EXPECT_LE(bytesPerFrame(3 * fps), 400'000 / 8 / fps * 2) << "before " << bytesPerFrame(fps);
    EXPECT_LE(bytesPerFrame(3 * fps) * 4, bytesPerFrame(fps));
    EXPECT_TRUE(decode(result).has_value());
    const auto key = std::find_if(result.begin() + 1, result.end(), [](const auto& output) { return output && output->isKeyFrame; });
    EXPECT_LE(key - result.begin(), 4 * fps);
}

TEST_P(EncoderTest, RefusesWhatNoCandidateCanOpenWithTheLastErrorAndEndsEveryFrameOnceWhenDestroyed)
{
    for (const auto& [candidates, format, code] : {std::tuple{std::vector<std::string>{"kestrio_no_such_encoder"}, capture::PixelFormat::nv12, AVERROR_ENCODER_NOT_FOUND},
                                                    {std::vector<std::string>{GetParam()}, capture::PixelFormat::bgra, AVERROR(ENOSYS)}})
        EXPECT_THAT([&] { open({640, 360, 8'000'000, 60, format}, candidates); }, ::testing::Throws<capture::H264EncoderError>(::testing::Field(&capture::H264EncoderError::code, code)));
    // Destroyed with frames queued, it ends each one once; what was encoded came first and decodes.
    auto encoder = open({1728, 972, 8'000'000, 60});
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(encoder->encode(picture(1728, 972, i), i == 5));
    encoder.reset();
    const auto result = collected();
    EXPECT_TRUE(result.size() == 20u && std::all_of(std::find(result.begin(), result.end(), std::nullopt), result.end(), [](const auto& output) { return !output; }));
    EXPECT_TRUE(decode(result).has_value());
}

INSTANTIATE_TEST_SUITE_P(SoftwareEncoders, EncoderTest, ::testing::Values("x264", "libx264"));

}  // namespace
}  // namespace kestrio::platform::ffmpeg
