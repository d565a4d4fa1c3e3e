#pragma once

#include "phones/paired_iphone.h"

#include <string_view>
#include <vector>

namespace kestrio::phones {

// The iPhones in a device-listing tool's JSON report, sorted by name. The report's layout is
// not relied on: any object that looks like a device record, at any depth, is read, and the
// fields are taken from where the tool usually puts them or, failing that, from wherever a
// matching key turns up. Text that is not JSON gives no phones. Never throws.
std::vector<PairedIPhone> parseDeviceList(std::string_view json);

}  // namespace kestrio::phones
