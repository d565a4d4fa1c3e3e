#pragma once

#include "display/display_facility.h"
#include "platform/wlroots/sway_ipc.h"

#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace kestrio::platform::wlroots {

// The outputs of sway, and virtual monitors made as headless outputs (`create_output`), sized to
// the resolution and placed right of the others. Sway 1.8 and later remove such an output when
// the monitor ends (`output NAME unplug`); 1.7 cannot remove or disable one, so there the output
// stays for the compositor's life and the next virtual monitor reuses it. Another wlroots
// compositor (no $SWAYSOCK) has its outputs listed from its Wayland globals, and no virtual monitor.
class WlrootsDisplayFacility final : public display::DisplayFacility {
public:
    // `socket` as for SwayIpc (empty: $SWAYSOCK).
    explicit WlrootsDisplayFacility(std::string socket = {});

    std::vector<display::DisplayInfo> displays() override;
    std::unique_ptr<display::VirtualMonitor> createVirtualMonitor(display::VirtualResolution resolution, int attempt) override;

    // The headless outputs this host made and which of them a virtual monitor holds now; shared
    // with the monitors, which may outlive the facility.
    struct Outputs {
        std::string socket;
        std::mutex mutex;
        std::set<std::string> ours;
        std::set<std::string> inUse;
        void release(const std::string& output);
    };

private:
    // Without sway: the outputs the compositor's Wayland globals name.
    std::vector<display::DisplayInfo> waylandOutputs();

    std::shared_ptr<Outputs> outputs_;
};

}  // namespace kestrio::platform::wlroots
