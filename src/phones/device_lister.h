#pragma once

#include "phones/paired_iphone.h"

namespace kestrio::phones {

// Finds the user's phones. A listing blocks for as long as the platform's tool or daemon takes,
// within a bound each lister states, so it is called off the main thread. Failures come back
// in the result, never as exceptions.
class DeviceLister {
public:
    virtual ~DeviceLister() = default;

    virtual DeviceListResult listPairedDevices() = 0;
};

}  // namespace kestrio::phones
