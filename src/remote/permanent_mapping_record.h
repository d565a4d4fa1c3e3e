#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrio::remote {

// A router mapping without an expiry that this host made: if the host ends without withdrawing
// it, it stays open until someone removes it, so it is written down until withdrawn.
struct PermanentMappingRecord {
    std::string gateway;          // the router that holds it, dotted IPv4
    std::string protocol;         // "TCP" or "UDP"
    std::uint16_t externalPort = 0;
    std::string internalAddress;  // this host's address it forwards to, dotted IPv4
    std::uint16_t internalPort = 0;
    bool operator==(const PermanentMappingRecord&) const = default;
};

// The settings key the record is kept under, as recordText() writes it.
inline constexpr std::string_view permanentMappingSettingsKey = "permanentPortMapping";

// "gateway=192.168.1.1 protocol=TCP externalPort=59590 internalAddress=192.168.1.20 internalPort=59590"
std::string recordText(const PermanentMappingRecord& record);
// Nothing unless every field is there and well formed.
std::optional<PermanentMappingRecord> parseRecordText(std::string_view text);

// Where the record lives between runs. `left` is what the last run left behind, read once before
// the mapper starts; `remember` and `forget` are called on the mapper's queue and must not block
// on it. Empty functions: nothing is kept.
struct PermanentMappingMemory {
    std::optional<PermanentMappingRecord> left;
    std::function<void(const PermanentMappingRecord&)> remember;
    std::function<void()> forget;
};

}  // namespace kestrio::remote
