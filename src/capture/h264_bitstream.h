#pragma once

#include "capture/h264_encoder.h"

#include <cstdint>
#include <span>

namespace kestrio::capture {

// Turns one Annex B access unit (NAL units behind 3- or 4-byte start codes) into the
// length-prefixed form the video packet carries: the first sequence and picture parameter sets
// are lifted out raw, every other NAL unit goes to `data` behind a 4-byte big-endian length, in
// stream order. Payload bytes, emulation-prevention bytes included, are copied unchanged; empty
// NAL units are skipped.
EncodedVideoFrame accessUnitFromAnnexB(std::span<const std::uint8_t> annexB, bool isKeyFrame);

}  // namespace kestrio::capture
