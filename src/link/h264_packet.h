#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrio::link {

// The video packet the viewer decodes: kind byte 2, key-frame flag (1 or 0), the sequence and
// picture parameter sets each behind a 16-bit big-endian length (carried only by key frames,
// empty otherwise), then the encoded access unit unchanged. Nothing when a parameter set does
// not fit its 16-bit length.
std::optional<std::vector<std::uint8_t>> makeH264Packet(bool keyFrame, std::span<const std::uint8_t> sps,
                                                        std::span<const std::uint8_t> pps,
                                                        std::span<const std::uint8_t> frameData);

}  // namespace kestrio::link
