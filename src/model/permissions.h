#pragma once

#include <string>

namespace kestrio::model {

// What the user may have to allow: capturing the screen, posting input, sending the address
// notification.
enum class Permission { screenRecording, touchControl, notificationAccess };

// The desktop's settings where the user grants a permission, where it has such settings.
class PermissionSettings {
public:
    virtual ~PermissionSettings() = default;
    // Shows the settings where `permission` is granted. False when there are none to show: then
    // nothing is opened, and the caller asks again at once instead.
    virtual bool open(Permission permission) = 0;
};

// Hands a URL to the desktop's handler for it. Does nothing when the desktop has none.
class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    virtual void open(const std::string& url) = 0;
};

}  // namespace kestrio::model
