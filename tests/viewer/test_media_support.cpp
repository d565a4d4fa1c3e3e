#include "viewer/test_media_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <turbojpeg.h>

#include <stdexcept>

namespace kestrio::test {

namespace {

// Damaged packets are fed to the decoder on purpose; its complaints would only clutter the
// test output.
const bool quietLibav = [] {
    av_log_set_level(AV_LOG_QUIET);
    return true;
}();

void appendBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes)
{
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

}  // namespace

std::vector<std::uint8_t> makeJpeg(int width, int height, int quality)
{
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = rgb.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3;
            p[0] = static_cast<std::uint8_t>(x * 255 / std::max(1, width - 1));
            p[1] = static_cast<std::uint8_t>(y * 255 / std::max(1, height - 1));
            p[2] = 96;
        }
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    std::vector<std::uint8_t> out;
    if (tjCompress2(handle, rgb.data(), width, width * 3, height, TJPF_RGB, &jpeg, &size, TJSAMP_420, quality, 0) == 0)
        out.assign(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    return out;
}

TestH264Encoder::TestH264Encoder(int width, int height)
{
    (void)quietLibav;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
        throw std::runtime_error("libx264 missing");
    context_ = avcodec_alloc_context3(codec);
    context_->width = width;
    context_->height = height;
    context_->pix_fmt = AV_PIX_FMT_YUV420P;
    context_->time_base = AVRational{1, 30};
    context_->framerate = AVRational{30, 1};
    context_->gop_size = 1000;
    context_->max_b_frames = 0;
    context_->bit_rate = 2'000'000;
    context_->thread_count = 1;
    av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
    if (avcodec_open2(context_, codec, nullptr) < 0)
        throw std::runtime_error("libx264 open");
    frame_ = av_frame_alloc();
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = width;
    frame_->height = height;
    if (av_frame_get_buffer(frame_, 0) < 0)
        throw std::runtime_error("frame buffer");
    packet_ = av_packet_alloc();
}

TestH264Encoder::~TestH264Encoder()
{
    avcodec_free_context(&context_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
}

std::vector<std::uint8_t> TestH264Encoder::encodePacket(int index, bool forceKeyFrame)
{
    if (av_frame_make_writable(frame_) < 0)
        return {};
    // A diagonal pattern that moves a little each frame, so that non-key frames carry data.
    for (int y = 0; y < frame_->height; ++y)
        for (int x = 0; x < frame_->width; ++x)
            frame_->data[0][y * frame_->linesize[0] + x] = static_cast<std::uint8_t>(x + y + index * 3);
    for (int y = 0; y < frame_->height / 2; ++y)
        for (int x = 0; x < frame_->width / 2; ++x) {
            frame_->data[1][y * frame_->linesize[1] + x] = static_cast<std::uint8_t>(128 + y + index * 2);
            frame_->data[2][y * frame_->linesize[2] + x] = static_cast<std::uint8_t>(64 + x + index);
        }
    frame_->pts = index;
    frame_->pict_type = forceKeyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (avcodec_send_frame(context_, frame_) < 0)
        return {};
    if (avcodec_receive_packet(context_, packet_) < 0)
        return {};

    const std::vector<std::uint8_t> stream(packet_->data, packet_->data + packet_->size);
    const bool key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
    av_packet_unref(packet_);

    std::vector<std::uint8_t> sps;
    std::vector<std::uint8_t> pps;
    std::vector<std::vector<std::uint8_t>> units;
    for (auto& unit : splitAnnexB(stream)) {
        const int type = unit.empty() ? 0 : unit[0] & 0x1F;
        if (type == 7)
            sps = std::move(unit);
        else if (type == 8)
            pps = std::move(unit);
        else
            units.push_back(std::move(unit));
    }
    return makeVideoPacket(key, sps, pps, units);
}

std::vector<std::vector<std::uint8_t>> splitAnnexB(const std::vector<std::uint8_t>& stream)
{
    std::vector<std::vector<std::uint8_t>> units;
    std::size_t unitStart = std::string::npos;
    std::size_t i = 0;
    while (i + 2 < stream.size()) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            if (unitStart != std::string::npos) {
                std::size_t end = i;
                while (end > unitStart && stream[end - 1] == 0)
                    --end;
                units.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(unitStart), stream.begin() + static_cast<std::ptrdiff_t>(end));
            }
            i += 3;
            unitStart = i;
        } else {
            ++i;
        }
    }
    if (unitStart != std::string::npos && unitStart < stream.size())
        units.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(unitStart), stream.end());
    return units;
}

std::vector<std::uint8_t> makeVideoPacket(bool key, const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                                          const std::vector<std::vector<std::uint8_t>>& units)
{
    std::vector<std::uint8_t> packet{0x02, static_cast<std::uint8_t>(key ? 1 : 0)};
    appendBigEndian(packet, static_cast<std::uint32_t>(sps.size()), 2);
    packet.insert(packet.end(), sps.begin(), sps.end());
    appendBigEndian(packet, static_cast<std::uint32_t>(pps.size()), 2);
    packet.insert(packet.end(), pps.begin(), pps.end());
    for (const auto& unit : units) {
        appendBigEndian(packet, static_cast<std::uint32_t>(unit.size()), 4);
        packet.insert(packet.end(), unit.begin(), unit.end());
    }
    return packet;
}

SliceLocation findFirstSlice(const std::vector<std::uint8_t>& packet)
{
    std::size_t offset = 2;
    for (int set = 0; set < 2; ++set)
        offset += 2 + (std::size_t{packet[offset]} << 8 | packet[offset + 1]);
    while (offset + 4 < packet.size()) {
        const std::size_t size = std::size_t{packet[offset]} << 24 | std::size_t{packet[offset + 1]} << 16
            | std::size_t{packet[offset + 2]} << 8 | packet[offset + 3];
        const int type = packet[offset + 4] & 0x1F;
        if (type == 1 || type == 5)
            return SliceLocation{offset + 4, size};
        offset += 4 + size;
    }
    return {};
}

}  // namespace kestrio::test
