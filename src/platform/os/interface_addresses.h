#pragma once

#include "link/peer_trust.h"

#include <string>
#include <vector>

namespace kestrio::platform::os {

// Every IPv4 and IPv6 address of the host's interfaces that are up, as text, in interface order
// (IPv6 without a zone suffix).
std::vector<std::string> interfaceAddresses();

// The networks the host's interfaces that are up are on: each address with its netmask's prefix.
std::vector<link::Subnet> interfaceSubnets();

}  // namespace kestrio::platform::os
