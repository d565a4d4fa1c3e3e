#pragma once

#include "capture/stream_settings.h"
#include "link/viewer_control_event.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace kestrio::model {

using capture::StreamFrameRate;
using capture::StreamQuality;
using link::SourceMode;

// A text the window shows as a Korean line over an English one.
struct BilingualText {
    std::string korean;
    std::string english;
    bool operator==(const BilingualText&) const = default;
};

inline constexpr std::array<SourceMode, 2> allSourceModes{SourceMode::virtualDisplay, SourceMode::mirror};
inline constexpr std::array<StreamQuality, 3> allQualities{StreamQuality::dataSaver, StreamQuality::balanced, StreamQuality::sharp};
inline constexpr std::array<StreamFrameRate, 2> allFrameRates{StreamFrameRate::thirty, StreamFrameRate::sixty};

BilingualText label(SourceMode mode);
BilingualText label(StreamQuality quality);
// "30 fps" / "60 fps", the same on both lines.
BilingualText label(StreamFrameRate rate);

}  // namespace kestrio::model
