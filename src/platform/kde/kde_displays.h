#pragma once

#include "desktop/display_facility.h"
#include "platform/kde/kde_desktop.h"

#include <memory>

namespace kestrio::platform::kde {

// KWin's outputs, and virtual monitors made as KWin's virtual outputs: each exists while the
// screen-cast stream KWin made it for does, and goes with it. KWin places a new output by its
// own rule; a session whose backend makes no virtual outputs (KWin's virtual test backend)
// refuses them.
class KdeDisplayFacility final : public display::DisplayFacility {
public:
    explicit KdeDisplayFacility(std::shared_ptr<KdeDesktop> desktop) : desktop_(std::move(desktop)) {}

    std::vector<display::DisplayInfo> displays() override;
    std::unique_ptr<display::VirtualMonitor> createVirtualMonitor(display::VirtualResolution resolution, int attempt) override;

private:
    std::shared_ptr<KdeDesktop> desktop_;
};

}  // namespace kestrio::platform::kde
