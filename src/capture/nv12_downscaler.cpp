#include "capture/nv12_downscaler.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <libyuv/convert_from_argb.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KESTRIO_HAS_AVX2_KERNELS 1
#endif

namespace kestrio::capture {
namespace {

constexpr int weightOne = 128;
constexpr int groupBytes = 8;
constexpr int windowBytes = 16;
// A horizontal window is read whole even when its last bytes lie past the row's samples.
constexpr int readSlack = 32;

struct Tap {
    int first = 0;  // the source sample before the output sample's centre (or at it)
    int next = 0;   // weight of the sample after it, of 128; 0 means the first sample alone
};

// Where output sample `index` of `count` falls among `sourceCount` samples, centres aligned.
Tap tapFor(int index, int count, int sourceCount)
{
    // The centre lies at ((2 index + 1) sourceCount - count) / (2 count) source samples.
    const long long numerator = (2LL * index + 1) * sourceCount - count;
    const long long denominator = 2LL * count;
    Tap tap;
    long long first = numerator / denominator;
    long long next = ((numerator - first * denominator) * weightOne + denominator / 2) / denominator;
    if (next == weightOne) {
        ++first;
        next = 0;
    }
    if (first >= sourceCount - 1) {
        first = sourceCount - 1;
        next = 0;
    }
    tap.first = static_cast<int>(first);
    tap.next = static_cast<int>(next);
    return tap;
}

// The tables of one plane whose samples are `sampleBytes` bytes wide; false when a group of
// eight output bytes would need more than one 16-byte window of its source row.
bool buildPlane(Nv12Downscaler::Plane& plane, int sourceSamples, int sourceRows, int samples, int rows, int sampleBytes)
{
    plane.sourceBytes = sourceSamples * sampleBytes;
    plane.sourceRows = sourceRows;
    plane.bytes = samples * sampleBytes;
    plane.rows = rows;
    for (int row = 0; row < rows; ++row) {
        const Tap tap = tapFor(row, rows, sourceRows);
        plane.firstRow.push_back(tap.first);
        plane.below.push_back(static_cast<std::uint8_t>(tap.next));
    }
    std::vector<Tap> taps;
    for (int sample = 0; sample < samples; ++sample)
        taps.push_back(tapFor(sample, samples, sourceSamples));
    const int groups = (plane.bytes + groupBytes - 1) / groupBytes;
    for (int group = 0; group < groups; ++group) {
        const int firstByte = group * groupBytes;
        const int offset = taps[static_cast<std::size_t>(firstByte / sampleBytes)].first * sampleBytes;
        plane.groupOffset.push_back(offset);
        for (int byte = firstByte; byte < firstByte + groupBytes; ++byte) {
            int left = 0;
            int right = 0;
            int rightWeight = weightOne / 2;
            if (byte < plane.bytes) {
                const Tap& tap = taps[static_cast<std::size_t>(byte / sampleBytes)];
                const int component = byte % sampleBytes;
                left = tap.first * sampleBytes + component - offset;
                right = left + (tap.next ? sampleBytes : 0);
                if (tap.next)
                    rightWeight = tap.next;
            }
            if (right >= windowBytes)
                return false;
            // A sample taken alone gets two halves of itself: a weight of 128 does not fit the
            // signed bytes the multiply-add takes.
            plane.shuffle.push_back(static_cast<std::uint8_t>(left));
            plane.shuffle.push_back(static_cast<std::uint8_t>(right));
            plane.weights.push_back(static_cast<std::int8_t>(weightOne - rightWeight));
            plane.weights.push_back(static_cast<std::int8_t>(rightWeight));
        }
    }
    return true;
}

void blendRowsPortable(const std::uint8_t* above, const std::uint8_t* below, int belowWeight, std::uint8_t* target, int count)
{
    const int aboveWeight = weightOne - belowWeight;
    for (int i = 0; i < count; ++i)
        target[i] = static_cast<std::uint8_t>((above[i] * aboveWeight + below[i] * belowWeight + 64) >> 7);
}

void resampleRowPortable(const Nv12Downscaler::Plane& plane, const std::uint8_t* source, std::uint8_t* target, int fromByte)
{
    for (int byte = fromByte; byte < plane.bytes; ++byte) {
        const std::size_t group = static_cast<std::size_t>(byte / groupBytes);
        const std::size_t entry = group * windowBytes + static_cast<std::size_t>(byte % groupBytes) * 2;
        const std::uint8_t* window = source + plane.groupOffset[group];
        const int sum = window[plane.shuffle[entry]] * plane.weights[entry] + window[plane.shuffle[entry + 1]] * plane.weights[entry + 1];
        target[byte] = static_cast<std::uint8_t>((sum + 64) >> 7);
    }
}

#ifdef KESTRIO_HAS_AVX2_KERNELS

// (sum + 64) >> 7 for the non-negative sums of the multiply-add: mulhrs computes
// (sum * 256 + 2^14) >> 15.
__attribute__((target("avx2"))) void blendRowsAvx2(const std::uint8_t* above, const std::uint8_t* below, int belowWeight,
                                                   std::uint8_t* target, int count)
{
    const __m256i weights = _mm256_set1_epi16(static_cast<short>((belowWeight << 8) | (weightOne - belowWeight)));
    const __m256i round = _mm256_set1_epi16(256);
    int i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(above + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(below + i));
        const __m256i low = _mm256_mulhrs_epi16(_mm256_maddubs_epi16(_mm256_unpacklo_epi8(a, b), weights), round);
        const __m256i high = _mm256_mulhrs_epi16(_mm256_maddubs_epi16(_mm256_unpackhi_epi8(a, b), weights), round);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(target + i), _mm256_packus_epi16(low, high));
    }
    blendRowsPortable(above + i, below + i, belowWeight, target + i, count - i);
}

__attribute__((target("avx2"))) void resampleRowAvx2(const Nv12Downscaler::Plane& plane, const std::uint8_t* source,
                                                     std::uint8_t* target)
{
    const __m256i round = _mm256_set1_epi16(256);
    const int* offsets = plane.groupOffset.data();
    const std::uint8_t* shuffles = plane.shuffle.data();
    const std::int8_t* weights = plane.weights.data();
    int group = 0;
    // Two groups at a time, one in each 128-bit lane.
    for (; (group + 2) * groupBytes <= plane.bytes; group += 2) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + offsets[group]));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + offsets[group + 1]));
        const __m256i windows = _mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1);
        const __m256i pairs = _mm256_shuffle_epi8(
            windows, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(shuffles + group * windowBytes)));
        const __m256i sums = _mm256_maddubs_epi16(pairs, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights + group * windowBytes)));
        const __m256i packed = _mm256_packus_epi16(_mm256_mulhrs_epi16(sums, round), _mm256_setzero_si256());
        // Each lane now starts with its group's eight bytes.
        const __m256i ordered = _mm256_permute4x64_epi64(packed, 0b1000);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + group * groupBytes), _mm256_castsi256_si128(ordered));
    }
    resampleRowPortable(plane, source, target, group * groupBytes);
}

bool processorHasAvx2()
{
    return __builtin_cpu_supports("avx2");
}

#else

bool processorHasAvx2()
{
    return false;
}

#endif

}  // namespace

std::optional<Nv12Downscaler> Nv12Downscaler::create(int sourceWidth, int sourceHeight, int width, int height, Kernels kernels)
{
    if (width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0 || width > sourceWidth || height > sourceHeight ||
        width * 2 < sourceWidth)
        return std::nullopt;
    Plane luma;
    Plane chroma;
    if (!buildPlane(luma, sourceWidth, sourceHeight, width, height, 1) ||
        !buildPlane(chroma, (sourceWidth + 1) / 2, (sourceHeight + 1) / 2, width / 2, height / 2, 2))
        return std::nullopt;
    return Nv12Downscaler(std::move(luma), std::move(chroma), kernels == Kernels::best && processorHasAvx2());
}

Nv12Downscaler::Nv12Downscaler(Plane luma, Plane chroma, bool avx2)
    : luma_(std::move(luma)), chroma_(std::move(chroma)), avx2_(avx2),
      row_(static_cast<std::size_t>(std::max(luma_.sourceBytes, chroma_.sourceBytes) + readSlack))
{
}

void Nv12Downscaler::scale(const std::uint8_t* sourceLuma, int sourceLumaStride, const std::uint8_t* sourceChroma,
                           int sourceChromaStride, std::uint8_t* luma, int lumaStride, std::uint8_t* chroma, int chromaStride)
{
    scalePlane(luma_, sourceLuma, sourceLumaStride, luma, lumaStride);
    scalePlane(chroma_, sourceChroma, sourceChromaStride, chroma, chromaStride);
}

void Nv12Downscaler::scalePlane(const Plane& plane, const std::uint8_t* source, int sourceStride, std::uint8_t* target,
                                int targetStride)
{
    for (int row = 0; row < plane.rows; ++row) {
        const int first = plane.firstRow[static_cast<std::size_t>(row)];
        const std::uint8_t* above = source + static_cast<std::ptrdiff_t>(first) * sourceStride;
        const std::uint8_t* next = plane.below[static_cast<std::size_t>(row)] ? above + sourceStride : nullptr;
        if (!next && first == plane.sourceRows - 1) {
            // Windows read past the row's samples; past the plane's last row there is no memory.
            std::memcpy(row_.data(), above, static_cast<std::size_t>(plane.sourceBytes));
            above = row_.data();
        }
        scaleRow(plane, row, above, next, target + static_cast<std::ptrdiff_t>(row) * targetStride);
    }
}

void Nv12Downscaler::scaleRow(const Plane& plane, int row, const std::uint8_t* above, const std::uint8_t* next, std::uint8_t* out)
{
    const std::uint8_t* samples = above;
    if (next) {
        const int below = plane.below[static_cast<std::size_t>(row)];
#ifdef KESTRIO_HAS_AVX2_KERNELS
        if (avx2_)
            blendRowsAvx2(above, next, below, row_.data(), plane.sourceBytes);
        else
#endif
            blendRowsPortable(above, next, below, row_.data(), plane.sourceBytes);
        samples = row_.data();
    }
#ifdef KESTRIO_HAS_AVX2_KERNELS
    if (avx2_) {
        resampleRowAvx2(plane, samples, out);
        return;
    }
#endif
    resampleRowPortable(plane, samples, out, 0);
}

Nv12Downscaler::RowPair& Nv12Downscaler::convertedPair(const std::uint8_t* argb, int argbStride, int pair)
{
    RowPair& slot = pairs_[static_cast<std::size_t>(pair) % pairs_.size()];
    if (slot.index != pair) {
        const int width = luma_.sourceBytes;
        const int rows = std::min(2, luma_.sourceRows - 2 * pair);
        libyuv::ARGBToNV12(argb + static_cast<std::ptrdiff_t>(2 * pair) * argbStride, argbStride, slot.luma.data(), width,
                           slot.chroma.data(), chroma_.sourceBytes, width, rows);
        slot.index = pair;
    }
    return slot;
}

void Nv12Downscaler::scaleArgb(const std::uint8_t* argb, int argbStride, std::uint8_t* luma, int lumaStride,
                               std::uint8_t* chroma, int chromaStride)
{
    // Output rows advance through the source in step, so the rows in use span a few pairs; a
    // pair that has left the ring is converted again, which costs time, never correctness.
    constexpr std::size_t ringPairs = 8;
    if (pairs_.empty()) {
        pairs_.resize(ringPairs);
        for (RowPair& slot : pairs_) {
            slot.luma.resize(static_cast<std::size_t>(2 * luma_.sourceBytes + readSlack));
            slot.chroma.resize(static_cast<std::size_t>(chroma_.sourceBytes + readSlack));
        }
    }
    for (RowPair& slot : pairs_)
        slot.index = -1;
    const auto scaleLumaRow = [&](int row) {
        const int first = luma_.firstRow[static_cast<std::size_t>(row)];
        const std::uint8_t* above = convertedPair(argb, argbStride, first / 2).luma.data() + first % 2 * luma_.sourceBytes;
        const std::uint8_t* next = nullptr;
        if (luma_.below[static_cast<std::size_t>(row)])
            next = convertedPair(argb, argbStride, (first + 1) / 2).luma.data() + (first + 1) % 2 * luma_.sourceBytes;
        scaleRow(luma_, row, above, next, luma + static_cast<std::ptrdiff_t>(row) * lumaStride);
    };
    for (int row = 0; row < chroma_.rows; ++row) {
        scaleLumaRow(2 * row);
        scaleLumaRow(2 * row + 1);
        const int first = chroma_.firstRow[static_cast<std::size_t>(row)];
        const std::uint8_t* above = convertedPair(argb, argbStride, first).chroma.data();
        const std::uint8_t* next = chroma_.below[static_cast<std::size_t>(row)]
                                       ? convertedPair(argb, argbStride, first + 1).chroma.data()
                                       : nullptr;
        scaleRow(chroma_, row, above, next, chroma + static_cast<std::ptrdiff_t>(row) * chromaStride);
    }
}

}  // namespace kestrio::capture
