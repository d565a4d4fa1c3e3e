#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrio::viewer {

// A video packet as the host sends it: kind byte 2, key-frame flag, 16-bit big-endian SPS
// length and SPS, PPS length and PPS, then the access unit's NAL units each behind a 4-byte
// big-endian length. The spans point into the payload they were parsed from.
struct H264Packet {
    bool isKeyFrame = false;
    std::span<const std::uint8_t> sps;
    std::span<const std::uint8_t> pps;
    std::vector<std::span<const std::uint8_t>> nalUnits;
};

// Nothing when the payload is not a well-formed packet: wrong kind, a length running past the
// end, or an empty NAL unit.
std::optional<H264Packet> parseH264Packet(std::span<const std::uint8_t> payload);

// The packet as an Annex B byte stream (4-byte start codes), the parameter sets first when
// present, ready for a decoder that reads start codes.
std::vector<std::uint8_t> toAnnexB(const H264Packet& packet);

}  // namespace kestrio::viewer
