#include "platform/router/natpmp_upnp_port_mapping.h"

#include <utility>

// Which protocol is asked, in which order, and what is kept of the one that answered. The
// exchanges themselves are in natpmp_exchanges.cpp and upnp_igd_exchanges.cpp.
namespace kestrio::platform::router {

namespace {

using remote::RouterMappingResult;
using Outcome = RouterMappingResult::Outcome;

}  // namespace

NatPmpUpnpPortMapping::NatPmpUpnpPortMapping() : NatPmpUpnpPortMapping(Options{}) {}

NatPmpUpnpPortMapping::NatPmpUpnpPortMapping(Options options) : options_(std::move(options)) {}

remote::RouterAddressResult NatPmpUpnpPortMapping::externalAddress()
{
    std::lock_guard lock(mutex_);
    Protocol order[2] = {Protocol::natPmp, Protocol::upnp};
    if (preferred_ == Protocol::upnp)
        std::swap(order[0], order[1]);
    std::string silence;
    for (Protocol protocol : order) {
        AddressAttempt attempt = protocol == Protocol::natPmp ? addressWithNatPmp() : addressWithUpnp();
        if (!attempt.answered) {
            silence += (silence.empty() ? "" : "; ") + attempt.result.detail;
            continue;
        }
        preferred_ = protocol;
        return attempt.result;
    }
    remote::RouterAddressResult result;
    result.outcome = Outcome::unsupported;
    result.detail = silence;
    return result;
}

RouterMappingResult NatPmpUpnpPortMapping::map(std::uint16_t port, std::chrono::seconds lifetime)
{
    std::lock_guard lock(mutex_);
    // What answered last goes first, so that renewals do not wait out the other protocol.
    Protocol order[2] = {Protocol::natPmp, Protocol::upnp};
    if (preferred_ == Protocol::upnp)
        std::swap(order[0], order[1]);
    std::string silence;
    for (Protocol protocol : order) {
        Attempt attempt = protocol == Protocol::natPmp ? mapWithNatPmp(port, lifetime) : mapWithUpnp(port, lifetime);
        if (!attempt.answered) {
            silence += (silence.empty() ? "" : "; ") + attempt.result.detail;
            continue;
        }
        preferred_ = protocol;
        if (attempt.result.outcome == Outcome::mapped) {
            protocol_ = protocol;
            externalPorts_[port] = attempt.result.externalPort;
        }
        return attempt.result;
    }
    RouterMappingResult result;
    result.outcome = Outcome::unsupported;
    result.detail = silence;
    return result;
}

bool NatPmpUpnpPortMapping::unmap(std::uint16_t port)
{
    std::lock_guard lock(mutex_);
    auto granted = externalPorts_.find(port);
    if (granted == externalPorts_.end())
        return true;
    std::uint16_t externalPort = granted->second;
    externalPorts_.erase(granted);
    if (protocol_ == Protocol::natPmp)
        return unmapWithNatPmp(port);
    if (protocol_ == Protocol::upnp)
        return unmapWithUpnp(externalPort, "TCP");
    return true;
}

}  // namespace kestrio::platform::router
