#include "capture/picture_activity.h"

#include <cstdlib>
#include <cstring>

namespace kestrio::capture {

namespace {

std::uint64_t absoluteDifferences(const std::uint8_t* a, const std::uint8_t* b, int count)
{
    std::uint64_t sum = 0;
    for (int i = 0; i < count; ++i)
        sum += static_cast<std::uint64_t>(std::abs(int{a[i]} - int{b[i]}));
    return sum;
}

}  // namespace

PictureActivity::Measured PictureActivity::measure(const std::uint8_t* luma, int stride, int width, int height,
                                                   bool wantDetail)
{
    const int sampled = (height + rowStep - 1) / rowStep;
    const double floor = 0.05 * width * height;
    const bool comparable = width == width_ && height == height_;
    rows_.resize(static_cast<std::size_t>(width) * sampled);
    std::uint64_t change = 0;
    std::uint64_t detail = 0;
    for (int row = 0; row < sampled; ++row) {
        const std::uint8_t* source = luma + static_cast<std::ptrdiff_t>(row) * rowStep * stride;
        std::uint8_t* kept = rows_.data() + static_cast<std::size_t>(row) * width;
        if (comparable)
            change += absoluteDifferences(source, kept, width);
        if (wantDetail || !comparable)
            detail += absoluteDifferences(source, source + 1, width - 1);
        std::memcpy(kept, source, static_cast<std::size_t>(width));
    }
    width_ = width;
    height_ = height;
    const double scale = static_cast<double>(height) / sampled;
    const double detailActivity = floor + scale * static_cast<double>(detail);
    return {comparable ? floor + scale * static_cast<double>(change) : detailActivity, detailActivity};
}

}  // namespace kestrio::capture
