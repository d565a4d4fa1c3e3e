#pragma once

#include "phones/paired_iphone.h"

#include <string_view>
#include <vector>

namespace kestrio::platform::macos {

// The iPhones in the JSON report of the developer tools' devicectl, sorted by name. The report's
// layout is not relied on: any object that looks like a device record, at any depth, is read,
// and the fields are taken from where the tool usually puts them or, failing that, from wherever
// a matching key turns up. Text that is not JSON gives no phones. Never throws.
std::vector<phones::PairedIPhone> parseDeviceList(std::string_view json);

}  // namespace kestrio::platform::macos
