#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::phones {

// The transports a lister names itself. U+2011, a non-breaking hyphen, keeps "Wi‑Fi" on one line.
inline constexpr std::string_view usbTransport = "USB";
inline constexpr std::string_view wifiTransport = "Wi\xE2\x80\x91" "Fi";

// One of the user's phones as a device lister found it.
struct PairedIPhone {
    // What a selection of the phone is kept by: stable across listings and transports.
    std::string id;
    std::string name;
    // A marketing name ("iPhone 15 Pro"), a hardware type ("iPhone15,2") or empty.
    std::string model;
    // "USB", "Wi‑Fi", "네트워크", a listing tool's own text, or empty when nobody said.
    std::string transport;
    std::optional<std::string> deviceID;
    bool operator==(const PairedIPhone&) const = default;
};

// A listing's outcome: the phones, or, when the listing itself failed, no phones and a text
// saying why that can be shown to the user.
struct DeviceListResult {
    std::vector<PairedIPhone> phones;
    std::optional<std::string> error;
};

}  // namespace kestrio::phones
