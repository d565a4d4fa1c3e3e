#pragma once

#include "remote/router_port_mapping.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace kestrio::platform::router {

// The home router's port forwarding: NAT-PMP (libnatpmp) first, UPnP IGD (miniupnpc) when no
// NAT-PMP gateway answers. The protocol that worked is kept for renewals and for unmap().
//
// How long a call blocks (defaults: natPmpDeadline 2 s, upnpDiscovery 2 s):
// - map() answered by NAT-PMP: at most natPmpDeadline, answer or not.
// - map() with nothing that answers: natPmpDeadline + max(upnpDiscovery, 1 s), about 4 s.
// - map() through UPnP: natPmpDeadline (0 when the gateway refuses NAT-PMP outright; renewals
//   start with UPnP) + discovery + the IGD's HTTP exchanges, milliseconds on a working LAN.
//   miniupnpc bounds each exchange only by its own socket timeouts, 5-6 s when the IGD stops
//   answering: an IGD that answers discovery and then stalls costs up to about three of them
//   (about 24 s in all), a device that answers discovery but never serves its description one
//   more each, a renewal through a known IGD that stalls one plus a new discovery.
// - unmap(): at most natPmpDeadline with NAT-PMP; one HTTP exchange (up to 5-6 s) with UPnP.
// - externalAddress(): as map(), one exchange instead of the mapping's.
// - lookup() and remove(): UPnP only (NAT-PMP cannot list mappings, and its leases always
//   expire): a discovery when no IGD is known yet, then one HTTP exchange.
// One caller at a time; calls are serialised.
class NatPmpUpnpPortMapping final : public remote::RouterPortMapping {
public:
    struct Options {
        // Dotted IPv4 of the NAT-PMP gateway; empty: the default route's gateway.
        std::string gateway{};
        // The whole NAT-PMP attempt (public address and mapping). libnatpmp on its own would
        // keep retrying a silent gateway for about two minutes.
        std::chrono::milliseconds natPmpDeadline{2000};
        // How long SSDP discovery waits for IGDs to answer; miniupnpc waits at least 1 s.
        std::chrono::milliseconds upnpDiscovery{2000};
    };

    NatPmpUpnpPortMapping();
    explicit NatPmpUpnpPortMapping(Options options);

    remote::RouterAddressResult externalAddress() override;
    remote::RouterMappingResult map(std::uint16_t port, std::chrono::seconds lifetime) override;
    bool unmap(std::uint16_t port) override;
    remote::RouterMappingLookup lookup(const remote::PermanentMappingRecord& record) override;
    bool remove(const remote::PermanentMappingRecord& record) override;

private:
    enum class Protocol { none, natPmp, upnp };

    // An IGD found by discovery, kept so that renewals need not discover again.
    struct Igd {
        std::string controlUrl;
        std::string serviceType;
        std::string lanAddress;  // this host's address on the IGD's network
        std::string address;     // the IGD's own, from its control URL
    };

    // Outcome of one protocol's attempt; `answered` false: nobody spoke that protocol.
    struct Attempt {
        bool answered = false;
        remote::RouterMappingResult result;
    };

    struct AddressAttempt {
        bool answered = false;
        remote::RouterAddressResult result;
    };

    AddressAttempt addressWithNatPmp();
    AddressAttempt addressWithUpnp();
    Attempt mapWithNatPmp(std::uint16_t port, std::chrono::seconds lifetime);
    Attempt mapWithUpnp(std::uint16_t port, std::chrono::seconds lifetime);
    Attempt addUpnpMapping(const Igd& igd, std::uint16_t port, std::chrono::seconds lifetime);
    bool discoverIgd(remote::RouterMappingResult& failure);
    bool unmapWithNatPmp(std::uint16_t port);
    bool unmapWithUpnp(std::uint16_t externalPort, const char* protocol);

    std::mutex mutex_;
    Options options_;
    Protocol protocol_ = Protocol::none;   // the one that holds the mapping
    Protocol preferred_ = Protocol::none;  // the one that last answered: asked first
    Igd igd_;
    bool haveIgd_ = false;
    std::map<std::uint16_t, std::uint16_t> externalPorts_;  // internal port → granted external port
};

}  // namespace kestrio::platform::router
