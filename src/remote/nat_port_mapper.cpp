#include "remote/nat_port_mapper.h"

#include <arpa/inet.h>

#include <algorithm>
#include <optional>
#include <utility>

namespace kestrio::remote {

namespace {

// The address as a number in host order, when `text` is a dotted-decimal IPv4 address.
std::optional<std::uint32_t> parseIPv4(std::string_view text)
{
    in_addr parsed{};
    const std::string copy(text);
    if (inet_pton(AF_INET, copy.c_str(), &parsed) != 1)
        return std::nullopt;
    return ntohl(parsed.s_addr);
}

bool within(std::uint32_t value, std::uint32_t network, int bits)
{
    return (value >> (32 - bits)) == (network >> (32 - bits));
}

}  // namespace

bool isPrivateOrSharedIPv4(std::string_view address)
{
    const auto value = parseIPv4(address);
    return value && (within(*value, 0x0A000000, 8)        // 10/8
                     || within(*value, 0xAC100000, 12)    // 172.16/12
                     || within(*value, 0xC0A80000, 16)    // 192.168/16
                     || within(*value, 0x64400000, 10));  // 100.64/10, shared by carriers
}

bool isDottedIPv4(std::string_view text)
{
    return parseIPv4(text).has_value();
}

bool isUsablePublicIPv4(std::string_view text)
{
    const auto value = parseIPv4(text);
    // Not "this network", loopback, link-local (no lease from upstream), multicast or reserved.
    return value && !(within(*value, 0x00000000, 8) || within(*value, 0x7F000000, 8) || within(*value, 0xA9FE0000, 16) ||
                      within(*value, 0xE0000000, 3));
}

std::shared_ptr<NATPortMapper> NATPortMapper::create(Environment environment)
{
    return std::shared_ptr<NATPortMapper>(new NATPortMapper(std::move(environment)));
}

NATPortMapper::NATPortMapper(Environment environment)
    : environment_(std::move(environment)), leftRecord_(std::move(environment_.permanentMappings.left))
{
    environment_.permanentMappings.left.reset();
}

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
    withdraw();
    port_.reset();
    lastDelivered_.reset();
}

void NATPortMapper::withdraw()
{
    if (routerHoldsMapping_ && port_ && environment_.router && environment_.router->unmap(*port_))
        forgetRecord();
    routerHoldsMapping_ = false;
    mappedPort_.reset();
}

namespace {

std::string_view refusalText(RouterMappingResult::Outcome outcome)
{
    switch (outcome) {
    case RouterMappingResult::Outcome::disabled:
        return mappingDisabledText;
    case RouterMappingResult::Outcome::unsupported:
        return mappingUnsupportedText;
    case RouterMappingResult::Outcome::mapped:
    case RouterMappingResult::Outcome::failed:
        break;
    }
    return mappingOtherErrorText;
}

}  // namespace

void NATPortMapper::attempt(std::uint64_t generation)
{
    if (closed_ || generation != generation_ || !port_)
        return;
    if (!environment_.router) {
        deliver({NATPortMappingUpdate::Unavailable{std::string(cannotStartMappingText)}});
        return;
    }
    // Each router call blocks: a shutdown or a new start may come meanwhile.
    if (leftRecord_) {
        withdrawLeftMapping();
        if (generation != generation_)
            return;
    }

    // The address decides whether a mapping is of any use, so it is learnt first.
    using Outcome = RouterMappingResult::Outcome;
    const auto address = environment_.router->externalAddress();
    if (generation != generation_)
        return;
    std::string_view refusal;
    if (address.outcome != Outcome::mapped)
        refusal = refusalText(address.outcome);
    else if (!isUsablePublicIPv4(address.address))
        refusal = noExternalPortText;
    else if (isPrivateOrSharedIPv4(address.address))
        // The router itself sits behind another NAT: a mapping would open the port only to the
        // network upstream, and the phone could not reach this address.
        refusal = doubleNatText;
    if (!refusal.empty()) {
        withdraw();
        deliver({NATPortMappingUpdate::Unavailable{std::string(refusal)}});
        scheduleAttempt(retryInterval);
        return;
    }

    const auto result = environment_.router->map(*port_, requestedLifetime);
    if (generation != generation_)
        return;
    if (result.outcome != Outcome::mapped) {
        deliver({NATPortMappingUpdate::Unavailable{std::string(refusalText(result.outcome))}});
        routerHoldsMapping_ = false;
        mappedPort_.reset();
        scheduleAttempt(retryInterval);
        return;
    }
    routerHoldsMapping_ = true;
    noteLease(result);
    const auto lifetime = result.lifetime.count() > 0 ? result.lifetime : requestedLifetime;
    scheduleAttempt(std::clamp(lifetime / 2, shortestRenewalInterval, longestRenewalInterval));
    if (result.externalPort == 0) {
        mappedPort_.reset();
        deliver({NATPortMappingUpdate::Unavailable{std::string(noExternalPortText)}});
    } else {
        mappedPort_ = result.externalPort;
        deliver({NATPortMappingUpdate::Ready{address.address, result.externalPort}});
    }
}

void NATPortMapper::withdrawLeftMapping()
{
    const auto record = *std::exchange(leftRecord_, std::nullopt);
    const auto found = environment_.router->lookup(record);
    using Lookup = RouterMappingLookup::Outcome;
    switch (found.outcome) {
    case Lookup::noAnswer:
    case Lookup::otherGateway:
        // Undecided: the record waits for a run that meets that router again.
        return;
    case Lookup::absent:
        break;
    case Lookup::found:
        // Only the very mapping this host made: the port may since have gone to another
        // computer, or this host's address to another one.
        if (found.internalAddress == record.internalAddress && found.internalPort == record.internalPort
            && found.description == routerMappingDescription && found.hostAddress == record.internalAddress)
            environment_.router->remove(record);
        break;
    }
    if (!rememberedRecord_ && environment_.permanentMappings.forget)
        environment_.permanentMappings.forget();
}

void NATPortMapper::noteLease(const RouterMappingResult& result)
{
    if (result.lifetime.count() > 0) {
        // Kept for a while only: nothing stays open if this host ends without withdrawing it.
        forgetRecord();
        return;
    }
    PermanentMappingRecord record{result.gateway, "TCP", result.externalPort, result.internalAddress, *port_};
    if (record.gateway.empty() || record.internalAddress.empty() || record.externalPort == 0
        || rememberedRecord_ == record)
        return;
    rememberedRecord_ = record;
    if (environment_.permanentMappings.remember)
        environment_.permanentMappings.remember(record);
}

void NATPortMapper::forgetRecord()
{
    if (!rememberedRecord_)
        return;
    rememberedRecord_.reset();
    if (environment_.permanentMappings.forget)
        environment_.permanentMappings.forget();
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
