#pragma once

#include "runtime/clock.h"

#include <chrono>
#include <optional>

namespace kestrio::capture {

// Chooses the encoder's bit rate from how often the link refuses pictures. A link that keeps up
// takes every picture and the stream keeps its nominal rate. A link slower than the stream
// refuses most pictures while each frame crosses it; the rate then comes down, so that frames
// get small enough to cross in about a frame's time and the picture stays fresh and fluid
// instead of arriving in rare large frames. Once the link takes nearly everything again, the
// rate climbs back towards the nominal one.
//
// The judgement is made per window of pictures that were due (the screen changed, or the viewer
// asked for a picture), so a still screen neither lowers nor freezes the rate.
class BitRateGovernor {
public:
    static constexpr runtime::Duration window = std::chrono::milliseconds(500);
    static constexpr int lowestBitRate = 200'000;

    explicit BitRateGovernor(int nominalBitRate);

    // A picture was due at `now`; `refusedByLink` when the link had no room for it. Returns the
    // new bit rate when this closes a window that changes it.
    std::optional<int> pictureDue(runtime::TimePoint now, bool refusedByLink);
    int bitRate() const { return bitRate_; }

private:
    std::optional<int> closeWindow();

    const int nominal_;
    const int lowest_;
    int bitRate_;
    std::optional<runtime::TimePoint> windowStart_;
    int due_ = 0;
    int refused_ = 0;
    int calmWindows_ = 0;
};

}  // namespace kestrio::capture
