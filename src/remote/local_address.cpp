#include "remote/local_address.h"

namespace kestrio::remote {

std::optional<std::string> chooseLocalAddress(const std::vector<std::string>& addresses)
{
    for (const auto& address : addresses) {
        if (address.find(':') != std::string::npos)
            continue;
        if (address == "127.0.0.1")
            continue;
        if (address.starts_with("169.254."))
            continue;
        return address;
    }
    return std::nullopt;
}

}  // namespace kestrio::remote
