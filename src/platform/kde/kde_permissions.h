#pragma once

#include "desktop/permission_facility.h"
#include "desktop/platform_wording.h"
#include "platform/kde/kwin_connection.h"

#include <memory>

namespace kestrio::platform::kde {

// What KWin grants this program: capture while it offers the screen-cast protocol, input while
// it offers fake input. KWin offers them only to a program its installed desktop entry names
// (X-KDE-Wayland-Interfaces), when the program connects: there is no dialogue to ask, and a
// grant given later takes effect at the program's next start.
class KdePermissionFacility final : public model::PermissionFacility {
public:
    explicit KdePermissionFacility(std::shared_ptr<KwinConnection> connection) : connection_(std::move(connection)) {}

    bool inputTrusted() override { return connection_->fakeInput() && !connection_->broken(); }
    void promptForInputTrust() override {}
    bool captureAllowed() override { return connection_->screencast() && !connection_->broken(); }
    void requestCaptureAccess() override {}

private:
    std::shared_ptr<KwinConnection> connection_;
};

// The texts of a host on KDE Plasma; they say how KWin is made to grant what it withholds.
model::PlatformWording kdeDesktopWording();

}  // namespace kestrio::platform::kde
