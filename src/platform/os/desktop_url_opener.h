#pragma once

#include "model/permissions.h"

#include <string>

namespace kestrio::platform::os {

// Hands URLs to xdg-open, which passes them on to the desktop's handler. The opener runs detached:
// in a session of its own, with its standard streams on /dev/null, signals at their defaults, and
// reaped by a thread of this process that does nothing else, so that it can outlive the call
// (xdg-open may wait for the browser) without ever blocking it or leaving a zombie. The URL
// reaches it as its only argument; no shell sees it.
class DesktopUrlOpener final : public model::UrlOpener {
public:
    // Looks up xdg-open on PATH at every open().
    DesktopUrlOpener();
    // Uses `program`: a path, or a name looked up on PATH.
    explicit DesktopUrlOpener(std::string program);

    // Does nothing when the program cannot be started.
    void open(const std::string& url) override;

private:
    std::string program_;
};

}  // namespace kestrio::platform::os
