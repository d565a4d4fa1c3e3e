#pragma once

#include "desktop/permission_facility.h"
#include "desktop/platform_wording.h"
#include "platform/gnome/gnome_desktop.h"

#include <memory>

namespace kestrio::platform::gnome {

// What a GNOME desktop allows this process: capture while the compositor's display
// configuration and screen-cast services answer on the session bus, input while its
// remote-desktop service does. GNOME asks no consent of a client of these services, so the
// prompts do nothing.
class GnomePermissionFacility final : public model::PermissionFacility {
public:
    explicit GnomePermissionFacility(std::shared_ptr<GnomeDesktop> desktop) : desktop_(std::move(desktop)) {}

    bool inputTrusted() override;
    void promptForInputTrust() override {}
    bool captureAllowed() override;
    void requestCaptureAccess() override {}

private:
    std::shared_ptr<GnomeDesktop> desktop_;
};

// The texts of a host on a GNOME Wayland desktop.
model::PlatformWording gnomeDesktopWording();

}  // namespace kestrio::platform::gnome
