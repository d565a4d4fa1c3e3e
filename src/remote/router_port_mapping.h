#pragma once

#include "remote/permanent_mapping_record.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrio::remote {

// How this host's mappings are described to the router, which shows it to whoever lists them.
inline constexpr std::string_view routerMappingDescription = "Kestrio";

// What a router said to a request to forward a TCP port.
struct RouterMappingResult {
    enum class Outcome {
        mapped,       // the router forwards: see the fields below (which may still be unusable)
        disabled,     // a router answered but refuses, or has port forwarding by request turned off
        unsupported,  // no gateway that speaks a port-mapping protocol answered
        failed,       // anything else; `detail` says what
    };
    Outcome outcome = Outcome::failed;
    std::uint16_t externalPort = 0;
    std::chrono::seconds lifetime{0};  // how long the router keeps the mapping; 0: until removed
    std::string gateway;               // the router that answered, dotted IPv4; may be empty
    std::string internalAddress;       // this host's address the router forwards to; may be empty
    std::string detail;                // a technical text for failures (not shown to the user)
};

// What a router said when asked for its external address.
struct RouterAddressResult {
    using Outcome = RouterMappingResult::Outcome;
    // `mapped` here means the router answered; the address is then exactly what it gave, which
    // may be empty (it has none) or not an address at all.
    Outcome outcome = Outcome::failed;
    std::string address;
    std::string detail;
};

// What a router holds at the port of a recorded mapping.
struct RouterMappingLookup {
    enum class Outcome {
        found,         // the fields below describe the mapping the router holds there
        absent,        // the router holds nothing at that port
        otherGateway,  // the router here is not the recorded one
        noAnswer,      // no router answered the question
    };
    Outcome outcome = Outcome::noAnswer;
    std::string internalAddress;
    std::uint16_t internalPort = 0;
    std::string description;
    std::string hostAddress;  // this host's own address on the router's network
};

// The home router's port forwarding. Calls block (a silent router is given up on within a few
// seconds); the mapper calls them on its own queue, one at a time.
class RouterPortMapping {
public:
    virtual ~RouterPortMapping() = default;

    // Asks the router for its external address, without mapping anything.
    virtual RouterAddressResult externalAddress() = 0;
    // Asks the router to forward TCP `port` on its external address to `port` on this host, for
    // `lifetime`. Asking again renews the mapping.
    virtual RouterMappingResult map(std::uint16_t port, std::chrono::seconds lifetime) = 0;
    // Withdraws what map() set up. True when the router confirmed it, or there was nothing to
    // withdraw.
    virtual bool unmap(std::uint16_t port) = 0;

    // What the router holds at the record's external port. A router that cannot list its
    // mappings gives no answer.
    virtual RouterMappingLookup lookup(const PermanentMappingRecord&) { return {}; }
    // Deletes the mapping at the record's external port, whoever made it: lookup() first. True
    // when the router confirmed it.
    virtual bool remove(const PermanentMappingRecord&) { return false; }
};

}  // namespace kestrio::remote
