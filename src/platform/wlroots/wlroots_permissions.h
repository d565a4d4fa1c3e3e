#pragma once

#include "desktop/permission_facility.h"
#include "desktop/platform_wording.h"

#include <string>

namespace kestrio::platform::wlroots {

// What a wlroots compositor allows this process: capture while it offers the screen-copy
// protocol, input while it offers the virtual pointer and keyboard. These compositors ask no
// consent of a client of those protocols, so the prompts do nothing.
class WlrootsPermissionFacility final : public model::PermissionFacility {
public:
    // `waylandDisplay` empty: $WAYLAND_DISPLAY.
    explicit WlrootsPermissionFacility(std::string waylandDisplay = {}) : waylandDisplay_(std::move(waylandDisplay)) {}

    bool inputTrusted() override;
    void promptForInputTrust() override {}
    bool captureAllowed() override;
    void requestCaptureAccess() override {}

private:
    std::string waylandDisplay_;
};

// The texts of a host on a wlroots compositor; `compositor` names it ("sway").
model::PlatformWording wlrootsDesktopWording(const std::string& compositor);

}  // namespace kestrio::platform::wlroots
