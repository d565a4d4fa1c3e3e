#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrio::remote {

// The address a user types into the phone when discovery does not find the computer: the first
// of the host's addresses (texts, in the system's order) that is not IPv6, not 127.0.0.1 and not
// link-local (169.254.x.x).
std::optional<std::string> chooseLocalAddress(const std::vector<std::string>& addresses);

}  // namespace kestrio::remote
