#include "platform/ffmpeg/ffmpeg_h264_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace kestrio::platform {
namespace {

using capture::EncodedVideoFrame;
using Outputs = std::vector<std::optional<EncodedVideoFrame>>;

// An NV12 picture in padded rows: a gradient, a square that moves with `index`, and the index as
// 16 black or white 16×16 blocks along the top edge, for a decoder to read back.
capture::VideoFrame picture(int width, int height, int index)
{
    const int stride = width + 32;
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(stride) * (height + height / 2));
    std::uint8_t* luma = bytes->data();
    const int squareX = index * 14 % (width - 64);
    for (int y = 0; y < height + height / 2; ++y) {
        for (int x = 0; x < width; ++x) {
            int value = y >= height ? 128 + ((x + index * 7) % 64 - 32) * (x % 2 == 0)
                        : y < 16 && x < 256 ? ((index >> (x / 16)) & 1 ? 235 : 16)
                        : x >= squareX && x < squareX + 64 && y >= height / 2 && y < height / 2 + 64
                            ? 220
                            : 40 + x * 120 / width + y * 60 / height;
            luma[static_cast<std::size_t>(y) * stride + x] = static_cast<std::uint8_t>(value);
        }
    }
    return {capture::PixelFormat::nv12, width, height, {luma, luma + static_cast<std::size_t>(stride) * height},
            {stride, stride}, {}, bytes};
}

// The units of a frame's data, each behind its 4-byte length; empty when the lengths do not
// cover the data exactly.
std::vector<std::vector<std::uint8_t>> units(const std::vector<std::uint8_t>& data)
{
    std::vector<std::vector<std::uint8_t>> found;
    std::size_t at = 0;
    for (std::size_t size; at + 4 < data.size(); at += 4 + size) {
        size = std::size_t{data[at]} << 24 | std::size_t{data[at + 1]} << 16 | std::size_t{data[at + 2]} << 8 | data[at + 3];
        found.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at + 4),
                           data.begin() + static_cast<std::ptrdiff_t>(std::min(at + 4 + size, data.size())));
    }
    return at == data.size() ? found : decltype(found){};
}

// Decodes each output as one packet with libavcodec's H.264 decoder, and gives each picture as
// "<width>x<height> #<index the picture's blocks tell>"; nothing when the decoder reported an error.
std::optional<std::vector<std::string>> decode(const Outputs& outputs)
{
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> context(avcodec_alloc_context3(codec),
                                                                        [](AVCodecContext* c) { avcodec_free_context(&c); });
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
    context->thread_count = 1;
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return std::nullopt;
    std::vector<std::string> pictures;
    bool failed = false;
    auto receive = [&] {
        for (int status; (status = avcodec_receive_frame(context.get(), frame.get())) >= 0; av_frame_unref(frame.get())) {
            failed = failed || frame->decode_error_flags != 0;
            int index = 0;
            for (int bit = 0; bit < 16; ++bit)
                index |= (frame->data[0][8 * frame->linesize[0] + bit * 16 + 8] > 128) << bit;
            pictures.push_back(std::to_string(frame->width) + "x" + std::to_string(frame->height) + " #" + std::to_string(index));
        }
    };
    for (const auto& output : outputs) {
        if (!output)
            continue;
        std::vector<std::uint8_t> annexB;  // start codes before the parameter sets and each unit
        auto units_ = units(output->data);
        units_.insert(units_.begin(), {output->sps, output->pps});
        for (const auto& unit : units_) {
            if (!unit.empty())
                annexB.insert(annexB.end(), {0, 0, 0, 1}), annexB.insert(annexB.end(), unit.begin(), unit.end());
        }
        if (av_new_packet(packet.get(), static_cast<int>(annexB.size())) < 0)
            return std::nullopt;
        std::copy(annexB.begin(), annexB.end(), packet->data);
        const int status = avcodec_send_packet(context.get(), packet.get());
        av_packet_unref(packet.get());
        if (status < 0)
            return std::nullopt;
        receive();
    }
    avcodec_send_packet(context.get(), nullptr);
    receive();
    return failed ? std::nullopt : std::optional(pictures);
}

// An encoder whose outputs are collected from its thread.
struct EncoderTest : ::testing::Test {
    // Throws H264EncoderError as the factory does.
    std::unique_ptr<capture::H264Encoder> open(capture::H264EncoderSettings settings,
                                               std::vector<std::string> candidates = {"libx264"})
    {
        FfmpegH264EncoderOptions options;
        options.candidates = std::move(candidates);
        return FfmpegH264EncoderFactory(options).create(settings, [this](std::optional<EncodedVideoFrame> output) {
            std::lock_guard lock(mutex);
            outputs.push_back(std::move(output));
            changed.notify_all();
        });
    }

    Outputs collected()
    {
        std::lock_guard lock(mutex);
        return outputs;
    }

    std::mutex mutex;
    std::condition_variable changed;
    Outputs outputs;
};

TEST_F(EncoderTest, EncodesOneAccessUnitPerFrameInOrderWithKeyFramesAndDecodesAtSize)
{
    for (const auto& [width, height] : {std::pair{640, 360}, std::pair{1728, 972}}) {
        SCOPED_TRACE(width);
        outputs.clear();
        constexpr int frameCount = 12, forcedKeyFrame = 5;
        // The default candidates: no hardware encoder on this machine, so the software fallback.
        auto encoder = open({width, height, 8'000'000, 60}, FfmpegH264EncoderOptions().candidates);
        EXPECT_EQ(encoder->name(), "libx264");
        for (int i = 0; i < frameCount; ++i)
            ASSERT_TRUE(encoder->encode(picture(width, height, i), i == forcedKeyFrame));
        encoder->flush();
        const auto result = collected();
        ASSERT_EQ(result.size(), std::size_t{frameCount});
        for (int i = 0; i < frameCount; ++i) {
            ASSERT_TRUE(result[i].has_value()) << i;
            const bool key = i == 0 || i == forcedKeyFrame;
            EXPECT_EQ(result[i]->isKeyFrame, key) << i;
            EXPECT_EQ(result[i]->sps.empty() ? 0 : result[i]->sps[0] & 0x1F, key ? 7 : 0) << i;
            EXPECT_EQ(result[i]->pps.empty() ? 0 : result[i]->pps[0] & 0x1F, key ? 8 : 0) << i;
            // IDR slices on key frames, not merely I slices a decoder cannot start from.
            std::string types;
            for (const auto& unit : units(result[i]->data))
                types += (unit[0] & 0x1F) == 5 ? "I" : (unit[0] & 0x1F) == 1 ? "P" : "";
            EXPECT_TRUE(!types.empty() && types.find(key ? 'P' : 'I') == std::string::npos) << i << ": " << types;
        }
        const auto decoded = decode(result);
        ASSERT_TRUE(decoded.has_value() && decoded->size() == std::size_t{frameCount}) << "the decoder failed";
        for (int i = 0; i < frameCount; ++i)  // output order is input order
            EXPECT_EQ((*decoded)[i], std::to_string(width) + "x" + std::to_string(height) + " #" + std::to_string(i));
    }
}

TEST_F(EncoderTest, ALowerBitRateTakesEffectMidStreamAndTheStreamStillDecodes)
{
    constexpr int fps = 60;
    auto encoder = open({640, 360, 8'000'000, fps});
    for (int i = 0; i < 2 * fps; ++i) {
        if (i == fps) {
            // Frames wait for the encoder's thread; the new rate applies to the next one it takes.
            std::unique_lock lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return outputs.size() >= fps; }));
            lock.unlock();
            encoder->setAverageBitRate(400'000);
        }
        ASSERT_TRUE(encoder->encode(picture(640, 360, i), false));
    }
    encoder->flush();
    const auto result = collected();
    ASSERT_EQ(result.size(), std::size_t{2 * fps});
    // The second half of each second, once rate control has settled.
    const auto bytesPerFrame = [&](int first) {
        std::size_t bytes = 0;
        for (int i = first + fps / 2; i < first + fps; ++i)
            bytes += result[i] ? result[i]->data.size() : 0;
        return bytes / (fps / 2);
    };
    EXPECT_LE(bytesPerFrame(fps), 400'000 / 8 / fps * 2) << "before " << bytesPerFrame(0);
    EXPECT_LE(bytesPerFrame(fps) * 4, bytesPerFrame(0));
    EXPECT_TRUE(decode(result).has_value());
}

TEST_F(EncoderTest, KeyFramesComeOnTheirOwnWithinFourSeconds)
{
    constexpr int fps = 30;
    auto encoder = open({320, 180, 1'000'000, fps});
    for (int i = 0; i < 4 * fps + 10; ++i)
        ASSERT_TRUE(encoder->encode(picture(320, 180, i), false));
    encoder->flush();
    const auto result = collected();
    int lastKeyFrame = 0;
    for (int i = 1; i < static_cast<int>(result.size()); ++i)
        lastKeyFrame = result[i] && result[i]->isKeyFrame ? i : lastKeyFrame;
    EXPECT_GT(lastKeyFrame, 0);
    EXPECT_LE(lastKeyFrame, 4 * fps);
}

TEST_F(EncoderTest, RefusesWhatNoCandidateCanOpenWithTheLastError)
{
    using capture::PixelFormat;
    const std::tuple<std::vector<std::string>, capture::H264EncoderSettings, int> cases[] = {
        {{"kestrio_no_such_encoder"}, {640, 360, 8'000'000, 60}, AVERROR_ENCODER_NOT_FOUND},
        {FfmpegH264EncoderOptions().candidates, {640, 360, 8'000'000, 60, PixelFormat::bgra}, AVERROR(ENOSYS)},  // libx264's
        {{"libx264"}, {641, 360, 8'000'000, 60}, 0},  // an odd size; any code
    };
    for (const auto& [candidates, settings, code] : cases) {
        try {
            open(settings, candidates);
            ADD_FAILURE() << "created an encoder for " << settings.width;
        } catch (const capture::H264EncoderError& error) {
            EXPECT_TRUE(code == 0 || error.code == code) << error.code;
        }
    }
}

TEST_F(EncoderTest, RejectsOtherFramesCopiesBorrowedOnesAndEndsEveryFrameOnce)
{
    auto encoder = open({1728, 972, 8'000'000, 60});
    auto bgra = picture(1728, 972, 0), missingPlane = picture(1728, 972, 0);
    bgra.format = capture::PixelFormat::bgra;
    missingPlane.planes[1] = nullptr;
    for (const auto& frame : {picture(640, 360, 0), bgra, missingPlane})
        EXPECT_FALSE(encoder->encode(frame, false));
    // The caller may reuse a frame without storage as soon as encode() returns, while the frames
    // before it keep the encoder's thread busy.
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(encoder->encode(picture(1728, 972, i), false));
    auto borrowed = picture(1728, 972, 4);
    const auto storage = std::exchange(borrowed.storage, nullptr);
    ASSERT_TRUE(encoder->encode(borrowed, false));
    std::fill_n(const_cast<std::uint8_t*>(borrowed.planes[0]), borrowed.strides[0] * 16, std::uint8_t{0});
    encoder->flush();
    const auto decoded = decode(collected());
    ASSERT_TRUE(decoded.has_value() && decoded->size() == 5u);
    EXPECT_EQ(decoded->back(), "1728x972 #4");
    // Nothing is taken after flush().
    EXPECT_FALSE(encoder->encode(picture(1728, 972, 5), false));

    // Destroyed with frames queued, it ends each one once; what was encoded came first and decodes.
    outputs.clear();
    encoder = open({1728, 972, 8'000'000, 60});
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(encoder->encode(picture(1728, 972, i), i == 5));
    encoder.reset();
    const auto result = collected();
    ASSERT_EQ(result.size(), 20u);
    const auto firstEmpty = std::find(result.begin(), result.end(), std::nullopt);
    EXPECT_TRUE(std::all_of(firstEmpty, result.end(), [](const auto& output) { return !output; }));
    EXPECT_TRUE(decode(result).has_value());
}

}  // namespace
}  // namespace kestrio::platform
