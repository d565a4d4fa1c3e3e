#pragma once

#include "phones/device_lister.h"

#include <chrono>
#include <memory>
#include <string>

namespace kestrio::platform::macos {

// The phones the developer tools' device control lists (xcrun devicectl, macOS).
//
// devicectl writes its JSON report to a file of a fresh name in the temporary directory, which
// is read, parsed with parseDeviceList and deleted whatever happened. The tool runs without a
// shell, with standard input on /dev/null and its standard output and error captured together:
// when it fails, what it said is the error text. It gives up on devices after ten seconds by
// itself; should it hang anyway, it is killed, along with whatever it started, once `timeout`
// has passed.
class XcrunDeviceLister final : public phones::DeviceLister {
public:
    static constexpr std::chrono::milliseconds defaultTimeout{30'000};

    // An empty `temporaryDirectory` means $TMPDIR, or /tmp when that is unset or empty.
    explicit XcrunDeviceLister(std::string toolPath = "/usr/bin/xcrun", std::string temporaryDirectory = {},
                               std::chrono::milliseconds timeout = defaultTimeout);

    phones::DeviceListResult listPairedDevices() override;

private:
    std::string toolPath_;
    std::string temporaryDirectory_;
    std::chrono::milliseconds timeout_;
};

// The lister of a Mac: devicectl where `xcrunPath` is an executable file (the developer tools
// are installed), usbmuxd otherwise.
std::unique_ptr<phones::DeviceLister> makeMacDeviceLister(const std::string& xcrunPath = "/usr/bin/xcrun");

}  // namespace kestrio::platform::macos
