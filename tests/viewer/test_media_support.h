#pragma once

#include <cstdint>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace kestrio::test {

// A JPEG of a colour gradient, made with turbojpeg.
std::vector<std::uint8_t> makeJpeg(int width, int height, int quality = 85);

// libx264 through libavcodec, tuned like the host's encoder (no reordering, low latency). Each
// frame is returned as the host's video packet: the Annex B output cut into NAL units, SPS and
// PPS moved to the front fields, the rest behind 4-byte lengths.
class TestH264Encoder {
public:
    TestH264Encoder(int width, int height);
    ~TestH264Encoder();
    TestH264Encoder(const TestH264Encoder&) = delete;
    TestH264Encoder& operator=(const TestH264Encoder&) = delete;

    // A picture that changes with `index`; empty when the encoder gave nothing for it.
    std::vector<std::uint8_t> encodePacket(int index, bool forceKeyFrame = false);

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

// Cuts an Annex B stream at its 3- and 4-byte start codes.
std::vector<std::vector<std::uint8_t>> splitAnnexB(const std::vector<std::uint8_t>& stream);

// The host's packet layout, built from raw NAL units.
std::vector<std::uint8_t> makeVideoPacket(bool key, const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                                          const std::vector<std::vector<std::uint8_t>>& units);

// Index of the first slice NAL unit (type 1 or 5) in a packet built by makeVideoPacket, with
// the offset of its bytes in the packet; for damaging it on purpose.
struct SliceLocation {
    std::size_t offset = 0;
    std::size_t size = 0;
};
SliceLocation findFirstSlice(const std::vector<std::uint8_t>& packet);

}  // namespace kestrio::test
