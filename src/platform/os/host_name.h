#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrio::platform::os {

// The name people know this computer by: the pretty host name (PRETTY_HOSTNAME in
// /etc/machine-info), else the kernel's host name; empty when neither is set.
std::string userVisibleHostName();
// The same, reading the machine information from `machineInfoPath`.
std::string userVisibleHostName(const std::string& machineInfoPath);

// The value of PRETTY_HOSTNAME in the text of a machine-info file (environment-file syntax:
// KEY=VALUE lines, values optionally quoted with " or ', backslash escapes, # and ; comments).
// Nothing when the key is missing or its value is empty.
std::optional<std::string> prettyHostNameFromMachineInfo(std::string_view machineInfo);

}  // namespace kestrio::platform::os
