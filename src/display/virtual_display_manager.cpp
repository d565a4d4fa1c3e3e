#include "display/virtual_display_manager.h"

#include <exception>

namespace kestrio::display {

VirtualDisplayManager::VirtualDisplayManager(DisplayFacility& facility, VirtualResolution resolution)
{
    VirtualDisplayError lastFailure = VirtualDisplayError::creationFailed;
    for (int attempt = 1; attempt <= maximumAttempts; ++attempt) {
        std::unique_ptr<VirtualMonitor> monitor;
        try {
            monitor = facility.createVirtualMonitor(resolution, attempt);
        } catch (const VirtualDisplayException& failure) {
            lastFailure = failure.error();
            continue;
        } catch (const std::exception&) {
            lastFailure = VirtualDisplayError::creationFailed;
            continue;
        }
        // A monitor without an ID cannot be found again by capture; it goes at once.
        if (!monitor || monitor->displayID() == 0) {
            lastFailure = VirtualDisplayError::creationFailed;
            continue;
        }
        displayID_ = monitor->displayID();
        monitor_ = std::move(monitor);
        return;
    }
    throw VirtualDisplayException(lastFailure);
}

}  // namespace kestrio::display
