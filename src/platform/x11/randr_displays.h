#pragma once

#include "desktop/display_facility.h"

#include <xcb/xcb.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrio::platform::x11 {

// The active RandR monitors of `root`'s screen, in the server's order. A monitor's ID is its name
// atom. Throws std::runtime_error when the server does not answer or lacks RandR 1.5.
std::vector<display::DisplayInfo> randrMonitors(xcb_connection_t* connection, xcb_window_t root);

// Displays of an X server through RandR 1.5 monitors; virtual monitors are added as described in
// x11_virtual_display.h. Every call talks to the server on a connection of its own.
class RandrDisplayFacility final : public display::DisplayFacility {
public:
    // `displayName` as for xcb_connect (":1"); empty means $DISPLAY. `records`: the file that
    // records an output lit for a virtual monitor (default: x11-outputs.json in the runtime folder).
    explicit RandrDisplayFacility(std::string displayName = {}, std::optional<std::filesystem::path> records = std::nullopt);

    std::vector<display::DisplayInfo> displays() override;
    std::unique_ptr<display::VirtualMonitor> createVirtualMonitor(display::VirtualResolution resolution, int attempt) override;

    // Undoes what an earlier run of the host left on the server (its virtual monitor, an output
    // it lit); the names of the outputs turned off.
    std::vector<std::string> undoLeftovers();

private:
    std::string displayName_;
    std::filesystem::path records_;
};

}  // namespace kestrio::platform::x11
