#pragma once

#include "desktop/display_facility.h"
#include "platform/gnome/gnome_desktop.h"

#include <memory>

namespace kestrio::platform::gnome {

// The monitors of a GNOME desktop from the compositor's display configuration, and virtual
// monitors made by recording a virtual screen-cast stream: the compositor adds a monitor of the
// size the stream negotiates, for as long as the stream is consumed.
class GnomeDisplayFacility final : public display::DisplayFacility {
public:
    explicit GnomeDisplayFacility(std::shared_ptr<GnomeDesktop> desktop) : desktop_(std::move(desktop)) {}

    std::vector<display::DisplayInfo> displays() override;
    std::unique_ptr<display::VirtualMonitor> createVirtualMonitor(display::VirtualResolution resolution, int attempt) override;

private:
    std::shared_ptr<GnomeDesktop> desktop_;
};

}  // namespace kestrio::platform::gnome
