#include "capture/argb_frame_converter.h"

#include <libyuv.h>

#include <algorithm>

namespace kestrio::capture {

ArgbFrameConverter::ArgbFrameConverter(int sourceWidth, int sourceHeight, int width, int height, PixelFormat format,
                                       int poolDepth)
    : sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      width_(width),
      height_(height),
      format_(format),
      pool_(std::make_shared<FramePool>(std::max(1, poolDepth), frameBytes(width, height, format)))
{
    if (format_ == PixelFormat::nv12 && (width_ != sourceWidth_ || height_ != sourceHeight_)) {
        downscaler_ = Nv12Downscaler::create(sourceWidth_, sourceHeight_, width_, height_);
        if (!downscaler_ || !downscaler_->usesAvx2()) {
            downscaler_.reset();
            scaled_.resize(static_cast<std::size_t>(width_) * height_ * 4);
        }
    }
}

std::size_t ArgbFrameConverter::frameBytes(int width, int height, PixelFormat format)
{
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    return format == PixelFormat::bgra ? pixels * 4 : pixels + static_cast<std::size_t>((width + 1) / 2 * 2) * ((height + 1) / 2);
}

std::optional<VideoFrame> ArgbFrameConverter::convert(const std::uint8_t* argb, int stride)
{
    FramePool::Slot* slot = pool_->acquire();
    if (!slot)
        return std::nullopt;
    VideoFrame frame;
    convertInto(argb, stride, slot->pixels.data(), frame);
    frame.storage = pool_->share(slot);
    return frame;
}

void ArgbFrameConverter::convertInto(const std::uint8_t* source, int sourceStride, std::uint8_t* target, VideoFrame& frame)
{
    const int width = width_;
    const int height = height_;
    const bool scales = width != sourceWidth_ || height != sourceHeight_;
    frame.format = format_;
    frame.width = width;
    frame.height = height;
    if (format_ == PixelFormat::bgra) {
        const int stride = width * 4;
        if (scales)
            libyuv::ARGBScale(source, sourceStride, sourceWidth_, sourceHeight_, target, stride, width, height,
                              libyuv::kFilterBilinear);
        else
            libyuv::ARGBCopy(source, sourceStride, target, stride, width, height);
        // The padding byte comes undefined; the frame promises opaque pixels.
        auto* pixels = reinterpret_cast<std::uint32_t*>(target);
        const std::size_t count = static_cast<std::size_t>(width) * height;
        for (std::size_t i = 0; i < count; ++i)
            pixels[i] |= 0xff000000u;
        frame.planes = {target, nullptr};
        frame.strides = {stride, 0};
        return;
    }
    std::uint8_t* luma = target;
    std::uint8_t* chroma = target + static_cast<std::size_t>(width) * height;
    const int chromaStride = (width + 1) / 2 * 2;
    if (downscaler_) {
        // Converting rows as the downscaler needs them costs less than half of what scaling the
        // RGB picture first does (see the benchmark), and needs no full-size NV12 picture.
        downscaler_->scaleArgb(source, sourceStride, luma, width, chroma, chromaStride);
    } else if (scales) {
        // Without it, scaling the RGB picture first and converting the smaller result costs
        // less than converting the full picture and scaling both planes with libyuv.
        libyuv::ARGBScale(source, sourceStride, sourceWidth_, sourceHeight_, scaled_.data(), width * 4, width, height,
                          libyuv::kFilterBilinear);
        libyuv::ARGBToNV12(scaled_.data(), width * 4, luma, width, chroma, chromaStride, width, height);
    } else {
        libyuv::ARGBToNV12(source, sourceStride, luma, width, chroma, chromaStride, width, height);
    }
    frame.planes = {luma, chroma};
    frame.strides = {width, chromaStride};
}

}  // namespace kestrio::capture
