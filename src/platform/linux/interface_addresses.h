#pragma once

#include <string>
#include <vector>

namespace kestrio::platform {

// Every IPv4 and IPv6 address of the host's interfaces that are up, as text, in interface order
// (IPv6 without a zone suffix).
std::vector<std::string> interfaceAddresses();

}  // namespace kestrio::platform
