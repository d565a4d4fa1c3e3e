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

    // Converts only the top `rows` rows of each picture (all when 0), for a reader that looks
    // at a strip along the top: the rest of `out` keeps what it had.
    void setConvertedRows(int rows) { convertedRows_ = rows; }

    // Decodes one packet. On `picture`, `out` holds the newest decoded frame as RGB. A packet
    // the decoder rejects or a picture it marks as damaged is an `error`.
    Result decode(const H264Packet& packet, RgbImage& out);

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int convertedRows_ = 0;
};

// Converts a decoded 8-bit planar YUV frame to RGB, only its top `rows` rows when that is not
// 0. False for formats it does not handle.
bool convertToRgb(const AVFrame& frame, RgbImage& out, int rows = 0);

}  // namespace kestrio::viewer
