#include "display/virtual_resolution.h"

namespace kestrio::display {
namespace {

int position(VirtualResolution resolution)
{
    return static_cast<int>(resolution);
}

}  // namespace

std::string_view rawValue(VirtualResolution resolution)
{
    switch (resolution) {
    case VirtualResolution::fullHD:
        return "fullHD";
    case VirtualResolution::hdPlus:
        return "hdPlus";
    case VirtualResolution::hd:
        return "hd";
    }
    return {};
}

std::optional<VirtualResolution> virtualResolutionFromRawValue(std::string_view text)
{
    for (VirtualResolution resolution : allVirtualResolutions) {
        if (rawValue(resolution) == text)
            return resolution;
    }
    return std::nullopt;
}

// Each step down is a sixth smaller on both sides, keeping 16:9.
int width(VirtualResolution resolution)
{
    return 1920 - 320 * position(resolution);
}

int height(VirtualResolution resolution)
{
    return 1080 - 180 * position(resolution);
}

std::string pickerLabel(VirtualResolution resolution)
{
    return std::to_string(width(resolution)) + "\u00d7" + std::to_string(height(resolution));
}

}  // namespace kestrio::display
