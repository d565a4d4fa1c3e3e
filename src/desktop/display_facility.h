#pragma once

#include "display/virtual_resolution.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::display {

// The name every virtual monitor of this program carries; it is how monitors left behind by an
// earlier run are recognised.
inline constexpr std::string_view virtualMonitorName = "Kestrio iPhone";

// A display as the platform lists it, in the desktop's coordinate space.
struct DisplayInfo {
    std::uint32_t id = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    std::string name;
    bool ownVirtualMonitor = false;  // carries virtualMonitorName
};

// A virtual monitor that exists while this object does.
class VirtualMonitor {
public:
    virtual ~VirtualMonitor();
    // Never 0.
    virtual std::uint32_t displayID() const = 0;
    // Whether the desktop lets the pointer (and so the viewer's touches) onto the monitor.
    virtual bool pointerCanEnter() const { return true; }
};

// The platform's displays and its way of adding a virtual monitor.
class DisplayFacility {
public:
    virtual ~DisplayFacility();

    // The active displays in the platform's order. Throws std::runtime_error, whose text says why,
    // when they cannot be read.
    virtual std::vector<DisplayInfo> displays() = 0;

    // Makes a new virtual monitor of `resolution`; `attempt` (1, 2, …) counts the tries of one
    // bring-up. Throws VirtualDisplayException (creationFailed or settingsRejected) and then leaves
    // no monitor behind.
    virtual std::unique_ptr<VirtualMonitor> createVirtualMonitor(VirtualResolution resolution, int attempt) = 0;
};

}  // namespace kestrio::display
