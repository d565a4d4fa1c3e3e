#pragma once

#include "desktop/display_facility.h"
#include "display/virtual_display_error.h"

#include <cstdint>
#include <memory>

namespace kestrio::display {

// Holds one virtual monitor; destroying the manager (or release()) removes it.
class VirtualDisplayManager {
public:
    static constexpr int maximumAttempts = 4;

    // Asks `facility` for a monitor of `resolution`, up to maximumAttempts times without waiting,
    // each time for a new one. Throws VirtualDisplayException with the last attempt's kind when all
    // fail; a failed attempt leaves no monitor behind.
    VirtualDisplayManager(DisplayFacility& facility, VirtualResolution resolution);

    VirtualDisplayManager(const VirtualDisplayManager&) = delete;
    VirtualDisplayManager& operator=(const VirtualDisplayManager&) = delete;

    // The monitor's ID, kept after release(); never 0.
    std::uint32_t displayID() const { return displayID_; }
    bool holdsMonitor() const { return monitor_ != nullptr; }
    // Whether the pointer can reach the monitor held; true when none is.
    bool pointerCanEnter() const { return !monitor_ || monitor_->pointerCanEnter(); }
    // Removes the monitor now.
    void release() { monitor_.reset(); }

private:
    std::uint32_t displayID_ = 0;
    std::unique_ptr<VirtualMonitor> monitor_;
};

}  // namespace kestrio::display
