#pragma once

#include "phones/device_lister.h"

#include <memory>
#include <string>

namespace kestrio::phones {

// The lister for this machine: the developer tools' devicectl where "/usr/bin/xcrun" is an
// executable file, usbmuxd otherwise.
std::unique_ptr<DeviceLister> makeSystemDeviceLister();

// The same choice, looking for the developer tools at `xcrunPath`, which the chosen lister then
// runs.
std::unique_ptr<DeviceLister> makeSystemDeviceLister(const std::string& xcrunPath);

}  // namespace kestrio::phones
