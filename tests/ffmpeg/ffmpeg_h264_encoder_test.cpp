#include "platform/ffmpeg/ffmpeg_h264_encoder.h"

#include "ffmpeg/h264_test_support.h"

extern "C" {
#include <libavutil/error.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

namespace kestrio::platform {
namespace {

using testing::OutputCollector;

capture::H264EncoderSettings settingsFor(int width, int height, int bitRate = 8'000'000, int fps = 60)
{
    return {width, height, bitRate, fps, capture::PixelFormat::nv12};
}

FfmpegH264EncoderOptions x264Only()
{
    FfmpegH264EncoderOptions options;
    options.candidates = {"libx264"};
    return options;
}

std::vector<capture::EncodedVideoFrame> present(const std::vector<std::optional<capture::EncodedVideoFrame>>& outputs)
{
    std::vector<capture::EncodedVideoFrame> frames;
    for (const auto& output : outputs) {
        if (output)
            frames.push_back(*output);
    }
    return frames;
}

// Types of the length-prefixed NAL units of a frame's data.
std::vector<int> nalTypes(const std::vector<std::uint8_t>& data)
{
    std::vector<int> types;
    std::size_t at = 0;
    while (at + 4 < data.size()) {
        const std::size_t size = (std::size_t{data[at]} << 24) | (std::size_t{data[at + 1]} << 16)
                                 | (std::size_t{data[at + 2]} << 8) | data[at + 3];
        types.push_back(data[at + 4] & 0x1F);
        at += 4 + size;
    }
    EXPECT_EQ(at, data.size()) << "lengths must cover the data exactly";
    return types;
}

bool hasSlice(const std::vector<int>& types, int type)
{
    return std::find(types.begin(), types.end(), type) != types.end();
}

class FfmpegH264EncoderStreamTest : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(FfmpegH264EncoderStreamTest, EncodesOneAccessUnitPerFrameInOrderAndDecodes)
{
    const auto [width, height] = GetParam();
    constexpr int frameCount = 12;
    constexpr int forcedKeyFrame = 5;

    OutputCollector collector;
    FfmpegH264EncoderFactory factory;
    auto encoder = factory.create(settingsFor(width, height), collector.handler());
    ASSERT_TRUE(encoder);
    // No hardware encoder on this machine: the software fallback is the one that opens.
    EXPECT_EQ(encoder->name(), "libx264");

    for (int i = 0; i < frameCount; ++i)
        ASSERT_TRUE(encoder->encode(testing::makeNv12Picture(width, height, i), i == forcedKeyFrame));
    encoder->flush();

    const auto outputs = collector.outputs();
    ASSERT_EQ(outputs.size(), std::size_t{frameCount});
    for (int i = 0; i < frameCount; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(outputs[i].has_value());
        const auto& output = *outputs[i];
        const bool key = i == 0 || i == forcedKeyFrame;
        EXPECT_EQ(output.isKeyFrame, key);
        EXPECT_EQ(output.sps.empty() ? 0 : output.sps[0] & 0x1F, key ? 7 : 0);
        EXPECT_EQ(output.pps.empty() ? 0 : output.pps[0] & 0x1F, key ? 8 : 0);
        // IDR slices on key frames, not merely I slices a decoder cannot start from.
        const auto types = nalTypes(output.data);
        EXPECT_EQ(hasSlice(types, 5), key);
        EXPECT_EQ(hasSlice(types, 1), !key);
    }

    const auto decoded = testing::decodeOutputs(present(outputs));
    ASSERT_TRUE(decoded.has_value()) << "the decoder reported an error";
    ASSERT_EQ(decoded->size(), std::size_t{frameCount});
    for (int i = 0; i < frameCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ((*decoded)[i].height, height);
        // Output order is input order: no frame was reordered.
        EXPECT_EQ(testing::readFrameNumber((*decoded)[i].luma, width), i);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FfmpegH264EncoderStreamTest,
                         ::testing::Values(std::pair{640, 360}, std::pair{1728, 972}),
                         [](const auto& info) {
                             return std::to_string(info.param.first) + "x" + std::to_string(info.param.second);
                         });

TEST(FfmpegH264EncoderTest, ALowerBitRateTakesEffectMidStreamAndTheStreamStillDecodes)
{
    constexpr int width = 640;
    constexpr int height = 360;
    constexpr int fps = 60;
    OutputCollector collector;
    FfmpegH264EncoderFactory factory(x264Only());
    auto encoder = factory.create(settingsFor(width, height, 8'000'000, fps), collector.handler());
    constexpr int framesPerPart = fps;
    for (int i = 0; i < 2 * framesPerPart; ++i) {
        if (i == framesPerPart) {
            // Frames wait for the encoder's thread; the new rate applies to the next one it takes.
            ASSERT_TRUE(collector.waitFor(framesPerPart));
            encoder->setAverageBitRate(400'000);
        }
        ASSERT_TRUE(encoder->encode(testing::makeNv12Picture(width, height, i), false));
    }
    encoder->flush();
    const auto outputs = present(collector.outputs());
    ASSERT_EQ(outputs.size(), std::size_t{2 * framesPerPart});
    // The second half of each part, once rate control has settled.
    const auto bytesPerFrame = [&](int first) {
        std::size_t bytes = 0;
        for (int i = first + framesPerPart / 2; i < first + framesPerPart; ++i)
            bytes += outputs[i].data.size();
        return bytes / (framesPerPart / 2);
    };
    const std::size_t before = bytesPerFrame(0);
    const std::size_t after = bytesPerFrame(framesPerPart);
    EXPECT_LE(after, 400'000 / 8 / fps * 2) << "before " << before;
    EXPECT_LE(after * 4, before);
    EXPECT_TRUE(testing::decodeOutputs(outputs).has_value());
}

TEST(FfmpegH264EncoderTest, KeyFramesComeOnTheirOwnWithinFourSeconds)
{
    OutputCollector collector;
    FfmpegH264EncoderFactory factory(x264Only());
    constexpr int fps = 30;
    auto encoder = factory.create(settingsFor(320, 180, 1'000'000, fps), collector.handler());
    constexpr int frameCount = 4 * fps + 10;
    for (int i = 0; i < frameCount; ++i)
        ASSERT_TRUE(encoder->encode(testing::makeNv12Picture(320, 180, i), false));
    encoder->flush();
    const auto outputs = collector.outputs();
    ASSERT_EQ(outputs.size(), std::size_t{frameCount});
    int lastKeyFrame = 0;
    for (int i = 1; i < frameCount; ++i) {
        ASSERT_TRUE(outputs[i].has_value());
        if (outputs[i]->isKeyFrame)
            lastKeyFrame = i;
    }
    EXPECT_GT(lastKeyFrame, 0);
    EXPECT_LE(lastKeyFrame, 4 * fps);
}

TEST(FfmpegH264EncoderFactoryTest, RefusesWhatNoCandidateCanOpenWithTheLastError)
{
    FfmpegH264EncoderOptions missing;
    missing.candidates = {"kestrio_no_such_encoder"};
    auto bgra = settingsFor(640, 360);
    bgra.inputFormat = capture::PixelFormat::bgra;
    struct Case {
        const char* name;
        FfmpegH264EncoderOptions options;
        capture::H264EncoderSettings settings;
        int code;  // 0: any
    };
    const Case cases[] = {
        {"no such encoder", missing, settingsFor(640, 360), AVERROR_ENCODER_NOT_FOUND},
        {"BGRA input", {}, bgra, AVERROR(ENOSYS)},  // libx264's answer, the last tried
        {"odd size", x264Only(), settingsFor(641, 360), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FfmpegH264EncoderFactory factory(c.options);
        OutputCollector collector;
        try {
            factory.create(c.settings, collector.handler());
            ADD_FAILURE() << "created an encoder";
        } catch (const capture::H264EncoderError& error) {
            if (c.code != 0) {
                EXPECT_EQ(error.code, c.code);
            }
        }
    }
}

TEST(FfmpegH264EncoderTest, RejectsFramesOfAnotherSizeOrFormat)
{
    OutputCollector collector;
    FfmpegH264EncoderFactory factory(x264Only());
    auto encoder = factory.create(settingsFor(640, 360), collector.handler());
    EXPECT_FALSE(encoder->encode(testing::makeNv12Picture(320, 180, 0), false));
    auto bgra = testing::makeNv12Picture(640, 360, 0);
    bgra.format = capture::PixelFormat::bgra;
    EXPECT_FALSE(encoder->encode(bgra, false));
    auto missingPlane = testing::makeNv12Picture(640, 360, 0);
    missingPlane.planes[1] = nullptr;
    EXPECT_FALSE(encoder->encode(missingPlane, false));
    encoder->flush();
    EXPECT_EQ(collector.count(), 0u);
}

TEST(FfmpegH264EncoderTest, FrameWithoutStorageIsCopiedAndEncoded)
{
    OutputCollector collector;
    FfmpegH264EncoderFactory factory(x264Only());
    auto encoder = factory.create(settingsFor(640, 360), collector.handler());
    auto borrowed = testing::makeNv12Picture(640, 360, 3);
    const auto storage = std::exchange(borrowed.storage, nullptr);
    ASSERT_TRUE(encoder->encode(borrowed, false));
    // The caller may reuse its buffer as soon as encode() returns.
    std::fill_n(const_cast<std::uint8_t*>(borrowed.planes[0]), borrowed.strides[0] * 16, std::uint8_t{0});
    encoder->flush();
    const auto decoded = testing::decodeOutputs(present(collector.outputs()));
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->size(), 1u);
    EXPECT_EQ(testing::readFrameNumber(decoded->front().luma, 640), 3);
}

TEST(FfmpegH264EncoderTest, FlushCompletesEverySubmittedFrameAndEndsSubmission)
{
    OutputCollector collector;
    FfmpegH264EncoderFactory factory(x264Only());
    auto encoder = factory.create(settingsFor(640, 360), collector.handler());
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(encoder->encode(testing::makeNv12Picture(640, 360, i), false));
    encoder->flush();
    EXPECT_EQ(collector.count(), 12u);  // handled before flush() returned
    EXPECT_FALSE(encoder->encode(testing::makeNv12Picture(640, 360, 12), false));
    encoder->flush();
    EXPECT_EQ(collector.count(), 12u);
}

TEST(FfmpegH264EncoderTest, DestroyingWithFramesQueuedEndsEachFrameOnce)
{
    OutputCollector collector;
    constexpr int frameCount = 20;
    {
        FfmpegH264EncoderFactory factory(x264Only());
        auto encoder = factory.create(settingsFor(1728, 972), collector.handler());
        for (int i = 0; i < frameCount; ++i)
            ASSERT_TRUE(encoder->encode(testing::makeNv12Picture(1728, 972, i), i == 5));
    }
    const auto outputs = collector.outputs();
    ASSERT_EQ(outputs.size(), std::size_t{frameCount});
    // Whatever was encoded before the stop came first and is a valid stream.
    const auto frames = present(outputs);
    for (std::size_t i = 0; i < frames.size(); ++i)
        EXPECT_TRUE(outputs[i].has_value()) << i;
    EXPECT_TRUE(testing::decodeOutputs(frames).has_value());
}

}  // namespace
}  // namespace kestrio::platform
