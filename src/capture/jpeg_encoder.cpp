#include "capture/jpeg_encoder.h"

#include <libyuv.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrio::capture {

namespace {

// Captured NV12 is video range (luma 16–235, chroma 16–240); JPEG's YCbCr is full range with
// the same BT.601 matrix, so rescaling the samples is all the colour work a viewer needs.
struct RangeTables {
    std::array<std::uint8_t, 256> luma{};
    std::array<std::uint8_t, 256> chroma{};

    RangeTables()
    {
        for (int value = 0; value < 256; ++value) {
            const double y = (value - 16) * 255.0 / 219.0;
            const double c = (value - 128) * 255.0 / 224.0 + 128.0;
            luma[value] = static_cast<std::uint8_t>(std::clamp(std::lround(y), 0L, 255L));
            chroma[value] = static_cast<std::uint8_t>(std::clamp(std::lround(c), 0L, 255L));
        }
    }
};

const RangeTables& rangeTables()
{
    static const RangeTables tables;
    return tables;
}

void expand(std::vector<std::uint8_t>& plane, const std::array<std::uint8_t, 256>& table)
{
    for (auto& sample : plane)
        sample = table[sample];
}

}  // namespace

JpegEncoder::JpegEncoder(int quality) : quality_(std::clamp(quality, 1, 100)), compressor_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder()
{
    if (output_)
        tjFree(output_);
    if (compressor_)
        tjDestroy(compressor_);
}

std::optional<std::vector<std::uint8_t>> JpegEncoder::encode(const VideoFrame& frame)
{
    if (!compressor_ || frame.width <= 0 || frame.height <= 0 || !frame.planes[0])
        return std::nullopt;
    if (!reserveOutput(frame.width, frame.height))
        return std::nullopt;
    const bool compressed = frame.format == PixelFormat::nv12 ? compressNv12(frame) : compressBgra(frame);
    if (!compressed || outputSize_ < 4)
        return std::nullopt;
    return std::vector<std::uint8_t>(output_, output_ + outputSize_);
}

bool JpegEncoder::reserveOutput(int width, int height)
{
    if (output_ && width == outputWidth_ && height == outputHeight_)
        return true;
    if (output_)
        tjFree(output_);
    outputCapacity_ = tjBufSize(width, height, TJSAMP_420);
    const bool allocatable = outputCapacity_ <= static_cast<unsigned long>(std::numeric_limits<int>::max());
    output_ = allocatable ? tjAlloc(static_cast<int>(outputCapacity_)) : nullptr;
    outputWidth_ = output_ ? width : 0;
    outputHeight_ = output_ ? height : 0;
    return output_ != nullptr;
}

bool JpegEncoder::compressNv12(const VideoFrame& frame)
{
    if (!frame.planes[1])
        return false;
    const int chromaWidth = (frame.width + 1) / 2;
    const int chromaHeight = (frame.height + 1) / 2;
    planes_[0].resize(static_cast<std::size_t>(frame.width) * frame.height);
    planes_[1].resize(static_cast<std::size_t>(chromaWidth) * chromaHeight);
    planes_[2].resize(planes_[1].size());
    if (libyuv::NV12ToI420(frame.planes[0], frame.strides[0], frame.planes[1], frame.strides[1], planes_[0].data(), frame.width,
                           planes_[1].data(), chromaWidth, planes_[2].data(), chromaWidth, frame.width, frame.height)
        != 0)
        return false;
    const auto& tables = rangeTables();
    expand(planes_[0], tables.luma);
    expand(planes_[1], tables.chroma);
    expand(planes_[2], tables.chroma);

    const unsigned char* sources[3] = {planes_[0].data(), planes_[1].data(), planes_[2].data()};
    const int strides[3] = {frame.width, chromaWidth, chromaWidth};
    outputSize_ = outputCapacity_;
    return tjCompressFromYUVPlanes(compressor_, sources, frame.width, strides, frame.height, TJSAMP_420, &output_, &outputSize_,
                                   quality_, TJFLAG_NOREALLOC)
           == 0;
}

bool JpegEncoder::compressBgra(const VideoFrame& frame)
{
    outputSize_ = outputCapacity_;
    return tjCompress2(compressor_, frame.planes[0], frame.width, frame.strides[0], frame.height, TJPF_BGRA, &output_, &outputSize_,
                       TJSAMP_420, quality_, TJFLAG_NOREALLOC)
           == 0;
}

}  // namespace kestrio::capture
