#pragma once

#include <string>

namespace kestrio::model {

// A phone the user owns, as the device list or a viewer connection reported it.
struct PairedIPhone {
    std::string id;
    std::string name;
    std::string model;
    std::string transport;
    std::string deviceID;
    bool operator==(const PairedIPhone&) const = default;
};

}  // namespace kestrio::model
