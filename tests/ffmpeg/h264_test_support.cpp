#include "ffmpeg/h264_test_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <chrono>
#include <memory>

namespace kestrio::platform::testing {

namespace {

constexpr int bitBlock = 16;
constexpr int frameNumberBits = 16;

}  // namespace

capture::VideoFrame makeNv12Picture(int width, int height, int frameIndex)
{
    const int lumaStride = width + 32;  // padded rows, as capture buffers often have
    const int chromaStride = width + 32;
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(
        static_cast<std::size_t>(lumaStride) * height + static_cast<std::size_t>(chromaStride) * (height / 2));
    std::uint8_t* luma = bytes->data();
    std::uint8_t* chroma = luma + static_cast<std::size_t>(lumaStride) * height;
    const int shift = frameIndex * 7;

    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int value = 40 + (x * 120) / width + (y * 60) / height;
            const int squareX = (shift * 2) % (width > 64 ? width - 64 : 1);
            if (x >= squareX && x < squareX + 64 && y >= height / 2 && y < height / 2 + 64)
                value = 220;
            luma[static_cast<std::size_t>(y) * lumaStride + x] = static_cast<std::uint8_t>(value);
        }
    }
    for (int bit = 0; bit < frameNumberBits && (bit + 1) * bitBlock <= width; ++bit) {
        const std::uint8_t value = (frameIndex >> bit) & 1 ? 235 : 16;
        for (int y = 0; y < bitBlock && y < height; ++y)
            for (int x = 0; x < bitBlock; ++x)
                luma[static_cast<std::size_t>(y) * lumaStride + bit * bitBlock + x] = value;
    }
    for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            std::uint8_t* pair = chroma + static_cast<std::size_t>(y) * chromaStride + 2 * x;
            pair[0] = static_cast<std::uint8_t>(128 + ((x * 2 + shift) % 64) - 32);
            pair[1] = static_cast<std::uint8_t>(128 + ((y * 2) % 48) - 24);
        }
    }

    capture::VideoFrame frame;
    frame.format = capture::PixelFormat::nv12;
    frame.width = width;
    frame.height = height;
    frame.planes = {luma, chroma};
    frame.strides = {lumaStride, chromaStride};
    frame.storage = bytes;
    return frame;
}

int readFrameNumber(const std::vector<std::uint8_t>& luma, int width)
{
    int number = 0;
    for (int bit = 0; bit < frameNumberBits; ++bit) {
        int sum = 0;
        for (int y = 4; y < 12; ++y)
            for (int x = 4; x < 12; ++x)
                sum += luma[static_cast<std::size_t>(y) * width + bit * bitBlock + x];
        if (sum / 64 > 128)
            number |= 1 << bit;
    }
    return number;
}

// Annex B (4-byte start codes) from packets: parameter sets first, then each length-prefixed unit.
static std::vector<std::uint8_t> annexBFromOutputs(const std::vector<capture::EncodedVideoFrame>& outputs)
{
    static constexpr std::uint8_t startCode[] = {0, 0, 0, 1};
    std::vector<std::uint8_t> stream;
    for (const auto& output : outputs) {
        for (const auto* set : {&output.sps, &output.pps}) {
            if (set->empty())
                continue;
            stream.insert(stream.end(), std::begin(startCode), std::end(startCode));
            stream.insert(stream.end(), set->begin(), set->end());
        }
        std::size_t at = 0;
        while (at + 4 <= output.data.size()) {
            const std::size_t size = (std::size_t{output.data[at]} << 24) | (std::size_t{output.data[at + 1]} << 16)
                                     | (std::size_t{output.data[at + 2]} << 8) | output.data[at + 3];
            at += 4;
            stream.insert(stream.end(), std::begin(startCode), std::end(startCode));
            stream.insert(stream.end(), output.data.begin() + static_cast<std::ptrdiff_t>(at),
                          output.data.begin() + static_cast<std::ptrdiff_t>(at + size));
            at += size;
        }
    }
    return stream;
}

std::optional<std::vector<DecodedPicture>> decodeOutputs(const std::vector<capture::EncodedVideoFrame>& outputs)
{
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->thread_count = 1;
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> contextOwner(
        context, [](AVCodecContext* c) { avcodec_free_context(&c); });
    if (avcodec_open2(context, codec, nullptr) < 0)
        return std::nullopt;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packetOwner(packet, [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frameOwner(frame, [](AVFrame* f) { av_frame_free(&f); });

    std::vector<DecodedPicture> pictures;
    bool failed = false;
    auto receive = [&] {
        for (;;) {
            const int status = avcodec_receive_frame(context, frame);
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
                return;
            if (status < 0) {
                failed = true;
                return;
            }
            if (frame->decode_error_flags != 0)
                failed = true;
            DecodedPicture picture{frame->width, frame->height, {}};
            picture.luma.resize(static_cast<std::size_t>(frame->width) * frame->height);
            for (int y = 0; y < frame->height; ++y)
                std::copy_n(frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0], frame->width,
                            picture.luma.begin() + static_cast<std::ptrdiff_t>(y) * frame->width);
            pictures.push_back(std::move(picture));
            av_frame_unref(frame);
        }
    };
    for (const auto& output : outputs) {
        auto bytes = annexBFromOutputs({output});
        if (av_new_packet(packet, static_cast<int>(bytes.size())) < 0)
            return std::nullopt;
        std::copy(bytes.begin(), bytes.end(), packet->data);
        const int status = avcodec_send_packet(context, packet);
        av_packet_unref(packet);
        if (status < 0)
            return std::nullopt;
        receive();
    }
    avcodec_send_packet(context, nullptr);
    receive();
    if (failed)
        return std::nullopt;
    return pictures;
}

capture::H264Encoder::OutputHandler OutputCollector::handler()
{
    return [this](std::optional<capture::EncodedVideoFrame> output) {
        std::lock_guard lock(mutex_);
        outputs_.push_back(std::move(output));
        changed_.notify_all();
    };
}

bool OutputCollector::waitFor(std::size_t count)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return outputs_.size() >= count; });
}

std::vector<std::optional<capture::EncodedVideoFrame>> OutputCollector::outputs()
{
    std::lock_guard lock(mutex_);
    return outputs_;
}

std::size_t OutputCollector::count()
{
    std::lock_guard lock(mutex_);
    return outputs_.size();
}

}  // namespace kestrio::platform::testing
