#pragma once

#include "model/permissions.h"

#include <memory>
#include <string>

namespace kestrio::platform::macos {

// The panes of System Settings → Privacy & Security where a Mac grants each permission, opened
// through their x-apple.systempreferences: addresses.
class PrivacySettings final : public model::PermissionSettings {
public:
    explicit PrivacySettings(std::shared_ptr<model::UrlOpener> opener);

    // Hands the permission's pane address to the opener. True: every permission has its pane.
    bool open(model::Permission permission) override;

    // The address of the pane: the security preferences followed by the pane's anchor
    // (Privacy_ScreenCapture, Privacy_Accessibility, Privacy_Automation).
    static std::string paneAddress(model::Permission permission);

private:
    std::shared_ptr<model::UrlOpener> opener_;
};

}  // namespace kestrio::platform::macos
