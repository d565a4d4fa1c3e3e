#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrio::capture {

// Bilinear downscaling of NV12 pictures, for capture sizes that shrink a display by a factor
// between 1/2 and 1 across. Each output sample mixes the two nearest source samples in each
// direction, with 7-bit weights that always add up to one, so flat areas keep their exact value.
//
// The general-purpose scalers gather every output sample on its own; this one precomputes, per
// group of eight output bytes, a byte shuffle and a pair of weights, so that a row is resampled
// with one shuffle and one multiply-add per eight bytes (two groups at a time with AVX2).
//
// Reads stay inside the planes described to scale(); the scaler keeps its own padded row.
class Nv12Downscaler {
public:
    enum class Kernels {
        best,      // AVX2 where the processor has it, else the portable code
        portable,  // plain C++; the same results bit for bit
    };

    // A scaler for these sizes, or none when the output is larger than the source in either
    // direction, less than half of it across, or not an even size of at least 2x2.
    static std::optional<Nv12Downscaler> create(int sourceWidth, int sourceHeight, int width, int height,
                                                Kernels kernels = Kernels::best);

    // Strides are in bytes; the chroma planes hold interleaved U and V at half the size, rounded up.
    void scale(const std::uint8_t* sourceLuma, int sourceLumaStride, const std::uint8_t* sourceChroma,
               int sourceChromaStride, std::uint8_t* luma, int lumaStride, std::uint8_t* chroma, int chromaStride);

    // Converts a picture of 32-bit pixels in libyuv's ARGB order (B, G, R, X in memory) of the
    // source size to NV12 at the output size in one pass: source rows are converted two at a time
    // into a small ring that stays in cache, instead of the whole picture first. The result is
    // that of libyuv::ARGBToNV12 followed by scale(), byte for byte.
    void scaleArgb(const std::uint8_t* argb, int argbStride, std::uint8_t* luma, int lumaStride, std::uint8_t* chroma,
                   int chromaStride);

    bool usesAvx2() const { return avx2_; }

    // How one plane's rows are resampled: the source rows and weights of every output row, and
    // the shuffles and weights of every group of eight output bytes.
    struct Plane {
        int sourceBytes = 0;  // bytes of a source row that hold samples
        int sourceRows = 0;
        int bytes = 0;  // bytes of an output row
        int rows = 0;
        std::vector<int> firstRow;        // per output row
        std::vector<std::uint8_t> below;  // per output row: weight of the row after firstRow, of 128
        std::vector<int> groupOffset;     // per group of 8 output bytes: where its 16-byte window starts
        std::vector<std::uint8_t> shuffle;  // 16 per group: left and right byte of each output byte
        std::vector<std::int8_t> weights;   // 16 per group: their weights, adding up to 128
    };

private:
    Nv12Downscaler(Plane luma, Plane chroma, bool avx2);
    void scalePlane(const Plane& plane, const std::uint8_t* source, int sourceStride, std::uint8_t* target, int targetStride);
    // Output row `row` of the plane from its source rows `above` and, when the row mixes two,
    // the one after it; both readable for 32 bytes past their samples.
    void scaleRow(const Plane& plane, int row, const std::uint8_t* above, const std::uint8_t* next, std::uint8_t* out);

    // Two converted source rows and the chroma row they make, with room to read past their ends.
    struct RowPair {
        int index = -1;  // which pair of source rows; -1 when none
        std::vector<std::uint8_t> luma;
        std::vector<std::uint8_t> chroma;
    };
    RowPair& convertedPair(const std::uint8_t* argb, int argbStride, int pair);

    Plane luma_;
    Plane chroma_;
    bool avx2_ = false;
    std::vector<std::uint8_t> row_;  // one vertically blended source row, with room to read past its end
    std::vector<RowPair> pairs_;     // scaleArgb's ring, made on first use
};

}  // namespace kestrio::capture
