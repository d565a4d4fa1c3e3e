#include "remote/nat_port_mapper.h"

#include <arpa/inet.h>

#include <algorithm>

namespace kestrio::remote {

bool isPrivateOrSharedIPv4(std::string_view address)
{
    in_addr parsed{};
    const std::string text(address);
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return false;
    const std::uint32_t value = ntohl(parsed.s_addr);
    const auto within = [value](std::uint32_t network, int bits) { return (value >> (32 - bits)) == (network >> (32 - bits)); };
    return within(0x0A000000, 8)         // 10/8
           || within(0xAC100000, 12)     // 172.16/12
           || within(0xC0A80000, 16)     // 192.168/16
           || within(0x64400000, 10);    // 100.64/10, shared by carriers
}

std::shared_ptr<NATPortMapper> NATPortMapper::create(Environment environment)
{
    return std::shared_ptr<NATPortMapper>(new NATPortMapper(std::move(environment)));
}

NATPortMapper::NATPortMapper(Environment environment) : environment_(std::move(environment)) {}

void NATPortMapper::setOnUpdate(std::function<void(const NATPortMappingUpdate&)> onUpdate)
{
    onUpdate_ = std::move(onUpdate);
}

void NATPortMapper::start(std::uint16_t port)
{
    environment_.queue->post([weak = weak_from_this(), port] {
        auto self = weak.lock();
        if (!self || self->closed_)
            return;
        self->stop();
        self->port_ = port;
        self->attempt(self->generation_);
    });
}

void NATPortMapper::shutdown()
{
    closed_ = true;
    // Holds the mapper until the router has been told.
    environment_.queue->post([self = shared_from_this()] { self->stop(); });
}

void NATPortMapper::stop()
{
    ++generation_;
    timer_.cancel();
    if (routerHoldsMapping_ && port_ && environment_.router)
        environment_.router->unmap(*port_);
    routerHoldsMapping_ = false;
    mappedPort_.reset();
    port_.reset();
    lastDelivered_.reset();
}

void NATPortMapper::attempt(std::uint64_t generation)
{
    if (closed_ || generation != generation_ || !port_)
        return;
    if (!environment_.router) {
        deliver({NATPortMappingUpdate::Unavailable{std::string(cannotStartMappingText)}});
        return;
    }
    const auto result = environment_.router->map(*port_, requestedLifetime);
    // The call blocks: a shutdown or a new start may have come meanwhile.
    if (generation != generation_)
        return;

    using Outcome = RouterMappingResult::Outcome;
    switch (result.outcome) {
    case Outcome::mapped: {
        routerHoldsMapping_ = true;
        const auto lifetime = result.lifetime.count() > 0 ? result.lifetime : requestedLifetime;
        scheduleAttempt(std::clamp(lifetime / 2, shortestRenewalInterval, longestRenewalInterval));
        if (result.externalAddress.empty() || result.externalPort == 0) {
            mappedPort_.reset();
            deliver({NATPortMappingUpdate::Unavailable{std::string(noExternalPortText)}});
        } else if (isPrivateOrSharedIPv4(result.externalAddress)) {
            // The router itself sits behind another NAT: the phone could not reach this address.
            mappedPort_.reset();
            deliver({NATPortMappingUpdate::Unavailable{std::string(doubleNatText)}});
        } else {
            mappedPort_ = result.externalPort;
            deliver({NATPortMappingUpdate::Ready{result.externalAddress, result.externalPort}});
        }
        return;
    }
    case Outcome::disabled:
        deliver({NATPortMappingUpdate::Unavailable{std::string(mappingDisabledText)}});
        break;
    case Outcome::unsupported:
        deliver({NATPortMappingUpdate::Unavailable{std::string(mappingUnsupportedText)}});
        break;
    case Outcome::failed:
        deliver({NATPortMappingUpdate::Unavailable{std::string(mappingOtherErrorText)}});
        break;
    }
    routerHoldsMapping_ = false;
    mappedPort_.reset();
    scheduleAttempt(retryInterval);
}

void NATPortMapper::scheduleAttempt(std::chrono::seconds delay)
{
    timer_.cancel();
    timer_ = environment_.clock->schedule(delay, environment_.queue,
                                          [weak = weak_from_this(), generation = generation_] {
                                              if (auto self = weak.lock())
                                                  self->attempt(generation);
                                          });
}

void NATPortMapper::deliver(NATPortMappingUpdate update)
{
    // Only changes are news: a renewal that finds everything as it was says nothing.
    if (lastDelivered_ == update)
        return;
    lastDelivered_ = update;
    if (onUpdate_ && !closed_)
        onUpdate_(update);
}

}  // namespace kestrio::remote
