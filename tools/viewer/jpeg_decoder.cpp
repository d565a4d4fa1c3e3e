#include "viewer/jpeg_decoder.h"

#include <turbojpeg.h>

namespace kestrio::viewer {

JpegDecoder::JpegDecoder() : handle_(tjInitDecompress()) {}

JpegDecoder::~JpegDecoder()
{
    if (handle_)
        tjDestroy(handle_);
}

bool JpegDecoder::decode(std::span<const std::uint8_t> jpeg, RgbImage& out)
{
    if (!handle_ || jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return false;
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    // turbojpeg 2.1 takes a non-const source buffer but does not write to it.
    auto* source = const_cast<unsigned char*>(jpeg.data());
    // A warning (say, a truncated scan) still leaves a usable picture; only fatal errors count.
    if (tjDecompressHeader3(handle_, source, static_cast<unsigned long>(jpeg.size()), &width, &height, &subsampling, &colorspace) != 0)
        return false;
    if (width <= 0 || height <= 0)
        return false;
    RgbImage image;
    image.width = width;
    image.height = height;
    image.pixels.resize(image.rowBytes() * static_cast<std::size_t>(height));
    if (tjDecompress2(handle_, source, static_cast<unsigned long>(jpeg.size()), image.pixels.data(), width,
                      static_cast<int>(image.rowBytes()), height, TJPF_RGB, TJFLAG_ACCURATEDCT) != 0
        && tjGetErrorCode(handle_) == TJERR_FATAL)
        return false;
    out = std::move(image);
    return true;
}

}  // namespace kestrio::viewer
