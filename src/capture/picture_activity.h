#pragma once

#include <cstdint>
#include <vector>

namespace kestrio::capture {

// Cheap measures of a luma plane for rate control, from every eighth row: how much it changed
// since the last picture measured, and how much detail it holds. Both are sums of absolute
// differences scaled to the whole picture, plus a small floor so that a still picture still
// counts for something.
class PictureActivity {
public:
    static constexpr int rowStep = 8;

    // Measures a picture and keeps its sampled rows for the next change(). The first picture, or
    // one of another size, counts as changed everywhere by its detail.
    struct Measured {
        double change;
        double detail;
    };
    Measured measure(const std::uint8_t* luma, int stride, int width, int height, bool wantDetail);

private:
    std::vector<std::uint8_t> rows_;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace kestrio::capture
