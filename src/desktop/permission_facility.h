#pragma once

namespace kestrio::model {

// What the desktop allows this process: posting synthetic input and capturing the screen. Each
// query asks the desktop afresh; none of them blocks for long.
class PermissionFacility {
public:
    virtual ~PermissionFacility() = default;

    // Synthetic mouse and keyboard input will be accepted.
    virtual bool inputTrusted() = 0;
    // Asks the user to allow input where the desktop has such a dialogue; otherwise nothing.
    virtual void promptForInputTrust() = 0;
    // A screen capture would succeed now.
    virtual bool captureAllowed() = 0;
    // Asks the user to allow capture where the desktop has such a dialogue; otherwise nothing.
    virtual void requestCaptureAccess() = 0;
};

}  // namespace kestrio::model
