#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kestrio::link {

// One DNS-SD service instance, published for as long as its registration object lives.
struct ServiceAdvertisement {
    std::string instanceName;  // e.g. "studio · KS1"
    std::string serviceType;   // e.g. "_kestrio._tcp"
    std::uint16_t port = 0;
};

class ServiceRegistration {
public:
    enum class State {
        waiting,      // no daemon (yet), or the registration is being committed
        established,  // visible on the network
        failed,       // the daemon refused it for good
    };

    // Destroying the registration withdraws the service.
    virtual ~ServiceRegistration() = default;

    virtual State state() const = 0;
    // The name actually published: the requested one, or an alternative chosen after a
    // name collision on the network.
    virtual std::string publishedName() const = 0;
};

// Publishes services. Publishing never fails and never blocks on the daemon: without one the
// registration waits, and it is published as soon as a daemon appears (and again after the
// daemon restarts).
class ServiceAdvertiser {
public:
    virtual ~ServiceAdvertiser() = default;
    virtual std::unique_ptr<ServiceRegistration> advertise(const ServiceAdvertisement& advertisement) = 0;
};

}  // namespace kestrio::link
