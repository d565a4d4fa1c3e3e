#pragma once

#include "link/service_advertiser.h"
#include "runtime/clock.h"

#include <chrono>
#include <memory>

namespace kestrio::platform::avahi {

// Publishes DNS-SD services through the local avahi-daemon (libavahi-client over the D-Bus system
// bus), on an avahi event thread of its own.
//
// Neither construction nor advertise() waits for the daemon: without one (or without a system
// bus) registrations wait and are published once a daemon appears, and again after it restarts.
// Registrations and the advertiser may be destroyed in any order, from any thread.
class AvahiServiceAdvertiser final : public link::ServiceAdvertiser {
public:
    // How long to wait before connecting again when the system bus cannot be reached. A missing
    // daemon needs no retry: the client is told on the bus when the daemon appears.
    static constexpr std::chrono::seconds reconnectDelay{2};

    AvahiServiceAdvertiser();
    // `clock` times the reconnection attempts.
    explicit AvahiServiceAdvertiser(std::shared_ptr<runtime::Clock> clock);
    ~AvahiServiceAdvertiser() override;

    AvahiServiceAdvertiser(const AvahiServiceAdvertiser&) = delete;
    AvahiServiceAdvertiser& operator=(const AvahiServiceAdvertiser&) = delete;

    std::unique_ptr<link::ServiceRegistration> advertise(const link::ServiceAdvertisement& advertisement) override;

    // True while connected to a daemon that is running (for diagnostics).
    bool daemonAvailable() const;

private:
    class Core;
    class Registration;
    std::shared_ptr<Core> core_;
};

}  // namespace kestrio::platform::avahi
