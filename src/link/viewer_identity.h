#pragma once

#include <string>

namespace kestrio::link {

// Who a viewer said it is in its handshake, and where it connected from.
struct ViewerIdentity {
    std::string name;        // "iPhone" when the viewer sent none
    std::string identifier;  // the name when the viewer sent none
    bool identifierGiven = false;
    bool fromHomeNetwork = true;
    bool operator==(const ViewerIdentity&) const = default;
};

}  // namespace kestrio::link
