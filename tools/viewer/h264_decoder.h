#pragma once

#include "viewer/h264_packet.h"
#include "viewer/rgb_image.h"

#include <memory>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace kestrio::viewer {

// libavcodec's H.264 decoder set for low delay: each packet yields its own picture at once.
class H264Decoder {
public:
    enum class Result { picture, noPicture, error };

    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // False when the decoder could not be opened; decode() then always reports an error.
    bool ready() const { return context_ != nullptr; }

    // Decodes one packet. On `picture`, `out` holds the newest decoded frame as RGB. A packet
    // the decoder rejects or a picture it marks as damaged is an `error`.
    Result decode(const H264Packet& packet, RgbImage& out);

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

// Converts a decoded 8-bit planar YUV frame to RGB. False for formats it does not handle.
bool convertToRgb(const AVFrame& frame, RgbImage& out);

}  // namespace kestrio::viewer
