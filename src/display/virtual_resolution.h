#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace kestrio::display {

// The sizes a virtual monitor can be made in, largest first. Each is offered as one 60 Hz mode.
enum class VirtualResolution { fullHD, hdPlus, hd };

inline constexpr std::array<VirtualResolution, 3> allVirtualResolutions{VirtualResolution::fullHD, VirtualResolution::hdPlus,
                                                                        VirtualResolution::hd};

// "fullHD", "hdPlus", "hd": how a resolution is stored and exchanged.
std::string_view rawValue(VirtualResolution resolution);
std::optional<VirtualResolution> virtualResolutionFromRawValue(std::string_view rawValue);

int width(VirtualResolution resolution);
int height(VirtualResolution resolution);
constexpr int refreshRate(VirtualResolution) { return 60; }

// What the resolution picker shows: "1920×1080".
std::string pickerLabel(VirtualResolution resolution);

}  // namespace kestrio::display
