#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kestrio::remote {

// What a router said to a request to forward a TCP port.
struct RouterMappingResult {
    enum class Outcome {
        mapped,       // the router forwards: see the fields below (which may still be unusable)
        disabled,     // a router answered but refuses, or has port forwarding by request turned off
        unsupported,  // no gateway that speaks a port-mapping protocol answered
        failed,       // anything else; `detail` says what
    };
    Outcome outcome = Outcome::failed;
    std::string externalAddress;  // dotted IPv4 text as the router gave it; may be empty
    std::uint16_t externalPort = 0;
    std::chrono::seconds lifetime{0};  // how long the router keeps the mapping; 0: until removed
    std::string detail;                // a technical text for failures (not shown to the user)
};

// The home router's port forwarding. Calls block (a silent router is given up on within a few
// seconds); the mapper calls them on its own queue, one at a time.
class RouterPortMapping {
public:
    virtual ~RouterPortMapping() = default;

    // Asks the router to forward TCP `port` on its external address to `port` on this host, for
    // `lifetime`. Asking again renews the mapping.
    virtual RouterMappingResult map(std::uint16_t port, std::chrono::seconds lifetime) = 0;
    // Withdraws what map() set up; failures are ignored.
    virtual void unmap(std::uint16_t port) = 0;
};

}  // namespace kestrio::remote
