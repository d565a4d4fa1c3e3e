#pragma once

#include "phones/device_lister.h"

#include <chrono>

namespace kestrio::platform::usbmux {

// The iPhones the system's usbmuxd knows of, on USB or on the network: the device list from
// libusbmuxd, then each device's lockdown service through libimobiledevice.
//
// Lockdown is asked, without pairing, for the device's class, hardware type and name. A device
// that says it is not an iPhone is left out; one that does not answer is listed anyway, by its
// UDID, as "iPhone". A phone seen on USB and on the network is listed once, on USB. No usbmuxd,
// or one that fails, gives the failure result.
//
// libimobiledevice 1.3.0 waits up to 30 seconds for each lockdown answer (5 for usbmuxd's, and
// for a network device to take the connection) and cannot be interrupted, so every device is
// asked on a thread of its own and the listing returns once `bound` has passed, with what it
// has by then. A question still unanswered then is left to finish, or time out, on its own;
// no further question is asked.
class UsbmuxDeviceLister final : public phones::DeviceLister {
public:
    static constexpr std::chrono::milliseconds defaultBound{10'000};

    explicit UsbmuxDeviceLister(std::chrono::milliseconds bound = defaultBound);

    phones::DeviceListResult listPairedDevices() override;

private:
    std::chrono::milliseconds bound_;
};

}  // namespace kestrio::platform::usbmux
