#include "platform/macos/privacy_settings.h"

namespace kestrio::platform::macos {

PrivacySettings::PrivacySettings(std::shared_ptr<model::UrlOpener> opener) : opener_(std::move(opener)) {}

bool PrivacySettings::open(model::Permission permission)
{
    if (opener_)
        opener_->open(paneAddress(permission));
    return true;
}

std::string PrivacySettings::paneAddress(model::Permission permission)
{
    const char* anchor = "Privacy_Automation";
    switch (permission) {
    case model::Permission::screenRecording:
        anchor = "Privacy_ScreenCapture";
        break;
    case model::Permission::touchControl:
        anchor = "Privacy_Accessibility";
        break;
    case model::Permission::notificationAccess:
        break;
    }
    return std::string("x-apple.systempreferences:com.apple.preference.security?") + anchor;
}

}  // namespace kestrio::platform::macos
