#include "viewer/h264_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>

namespace kestrio::viewer {

namespace {

std::uint8_t clampByte(int value)
{
    return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

// Integer YCbCr to RGB coefficients in 1/65536 units.
struct Matrix {
    int crToR;
    int cbToG;
    int crToG;
    int cbToB;
};

Matrix matrixFor(AVColorSpace space, bool fullRange)
{
    const bool bt709 = space == AVCOL_SPC_BT709;
    // Limited range stretches luma by 255/219 and chroma by 255/224.
    const double chromaScale = fullRange ? 1.0 : 255.0 / 224.0;
    const double kr = bt709 ? 0.2126 : 0.299;
    const double kb = bt709 ? 0.0722 : 0.114;
    const double kg = 1.0 - kr - kb;
    const auto fixed = [&](double v) { return static_cast<int>(v * chromaScale * 65536.0 + 0.5); };
    return Matrix{fixed(2.0 * (1.0 - kr)), fixed(2.0 * (1.0 - kb) * kb / kg), fixed(2.0 * (1.0 - kr) * kr / kg),
                  fixed(2.0 * (1.0 - kb))};
}

}  // namespace

bool convertToRgb(const AVFrame& frame, RgbImage& out, int rows)
{
    const auto format = static_cast<AVPixelFormat>(frame.format);
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    if (!descriptor || frame.width <= 0 || frame.height <= 0)
        return false;
    // Only 8-bit three-plane YUV: what the H.264 decoder gives for 4:2:0, 4:2:2 and 4:4:4.
    if (descriptor->nb_components != 3 || (descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) != 0
        || !(descriptor->flags & AV_PIX_FMT_FLAG_PLANAR) || descriptor->comp[0].depth != 8 || descriptor->comp[1].plane != 1
        || descriptor->comp[2].plane != 2)
        return false;

    const bool fullRange = frame.color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P
        || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P;
    const Matrix matrix = matrixFor(frame.colorspace, fullRange);
    const int lumaScale = fullRange ? 65536 : static_cast<int>(255.0 / 219.0 * 65536.0 + 0.5);
    const int lumaOffset = fullRange ? 0 : 16;

    out.width = frame.width;
    out.height = frame.height;
    out.pixels.resize(out.rowBytes() * static_cast<std::size_t>(frame.height));
    const int lastRow = rows > 0 ? std::min(rows, frame.height) : frame.height;
    for (int y = 0; y < lastRow; ++y) {
        const std::uint8_t* lumaRow = frame.data[0] + static_cast<std::ptrdiff_t>(y) * frame.linesize[0];
        const int chromaY = y >> descriptor->log2_chroma_h;
        const std::uint8_t* cbRow = frame.data[1] + static_cast<std::ptrdiff_t>(chromaY) * frame.linesize[1];
        const std::uint8_t* crRow = frame.data[2] + static_cast<std::ptrdiff_t>(chromaY) * frame.linesize[2];
        std::uint8_t* target = out.pixels.data() + static_cast<std::size_t>(y) * out.rowBytes();
        for (int x = 0; x < frame.width; ++x) {
            const int chromaX = x >> descriptor->log2_chroma_w;
            const int luma = (lumaRow[x] - lumaOffset) * lumaScale + 32768;
            const int cb = cbRow[chromaX] - 128;
            const int cr = crRow[chromaX] - 128;
            target[0] = clampByte((luma + matrix.crToR * cr) >> 16);
            target[1] = clampByte((luma - matrix.cbToG * cb - matrix.crToG * cr) >> 16);
            target[2] = clampByte((luma + matrix.cbToB * cb) >> 16);
            target += 3;
        }
    }
    return true;
}

H264Decoder::H264Decoder()
{
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec)
        return;
    AVCodecContext* context = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!context || !frame_ || !packet_) {
        avcodec_free_context(&context);
        return;
    }
    // Low delay and a single thread: frame threading would hold pictures back, and the viewer
    // wants every picture out with the packet that carried it.
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->thread_count = 1;
    // Without explode the decoder conceals broken slices silently, and the viewer would never
    // know to ask for a key frame.
    context->err_recognition |= AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM;
    if (avcodec_open2(context, codec, nullptr) < 0) {
        avcodec_free_context(&context);
        return;
    }
    context_ = context;
}

H264Decoder::~H264Decoder()
{
    avcodec_free_context(&context_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
}

H264Decoder::Result H264Decoder::decode(const H264Packet& packet, RgbImage& out)
{
    if (!context_)
        return Result::error;
    const std::vector<std::uint8_t> annexB = toAnnexB(packet);
    if (annexB.empty())
        return Result::noPicture;
    if (av_new_packet(packet_, static_cast<int>(annexB.size())) < 0)
        return Result::error;
    std::memcpy(packet_->data, annexB.data(), annexB.size());
    if (packet.isKeyFrame)
        packet_->flags |= AV_PKT_FLAG_KEY;
    const int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (sent < 0)
        return Result::error;

    bool damaged = false;
    bool got = false;
    for (;;) {
        const int received = avcodec_receive_frame(context_, frame_);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            break;
        if (received < 0)
            return Result::error;
        if ((frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame_->decode_error_flags != 0)
            damaged = true;
        got = convertToRgb(*frame_, out, convertedRows_) || got;
        av_frame_unref(frame_);
    }
    if (damaged)
        return Result::error;
    return got ? Result::picture : Result::noPicture;
}

}  // namespace kestrio::viewer
