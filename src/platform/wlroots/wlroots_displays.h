#pragma once

#include "desktop/display_facility.h"
#include "platform/wlroots/sway_ipc.h"

#include <memory>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace kestrio::platform::wlroots {

// The outputs of sway, and virtual monitors made as headless outputs (`create_output`), sized to
// the resolution and placed right of the others. Sway 1.8 and later remove such an output when
// the monitor ends (`output NAME unplug`); 1.7 cannot remove or disable one, so there the output
// stays for the compositor's life and the next virtual monitor reuses it, also in the host's
// next run (the outputs made are recorded with the compositor's socket). Another wlroots
// compositor (no $SWAYSOCK) has its outputs listed from its Wayland globals, and no virtual monitor.
class WlrootsDisplayFacility final : public display::DisplayFacility {
public:
    // `socket` as for SwayIpc (empty: $SWAYSOCK). `record`: the file that names the outputs made
    // (default: sway-outputs.json in the runtime folder; empty: none kept).
    explicit WlrootsDisplayFacility(std::string socket = {}, std::optional<std::filesystem::path> record = std::nullopt);

    std::vector<display::DisplayInfo> displays() override;
    std::unique_ptr<display::VirtualMonitor> createVirtualMonitor(display::VirtualResolution resolution, int attempt) override;

    // The headless outputs this host made and which of them a virtual monitor holds now; shared
    // with the monitors, which may outlive the facility.
    struct Outputs {
        std::string socket;
        std::filesystem::path record;
        std::mutex mutex;
        std::set<std::string> ours;
        std::set<std::string> inUse;
        void release(const std::string& output);
        // Reads or writes the record of `ours`; under the mutex.
        void load();
        void save() const;
    };

private:
    // Without sway: the outputs the compositor's Wayland globals name.
    std::vector<display::DisplayInfo> waylandOutputs();

    std::shared_ptr<Outputs> outputs_;
};

}  // namespace kestrio::platform::wlroots
