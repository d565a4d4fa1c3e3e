// Connections from outside the home network are read for their handshake alone, judged against
// the trusted phones with penalties per source network, and served only when trusted.
#include "link/viewer_admission.h"

#include "link/viewer_session.h"

#include <algorithm>

namespace kestrio::link {

struct ViewerAdmission::Outsider {
    Session session;
    std::string network;
    std::optional<Handshake> handshake;
    std::string handshakeLine;
    runtime::TimerHandle deadline;
};

ViewerAdmission::ViewerAdmission(Settings settings, std::weak_ptr<Owner> owner)
    : settings_(std::move(settings)), owner_(std::move(owner))
{
}

bool ViewerAdmission::fromHomeNetwork(const asio::ip::address& address) const
{
    if (settings_.isHomeNetworkPeer)
        return settings_.isHomeNetworkPeer(address);
    return isHomeNetworkPeer(address, settings_.ownSubnets ? settings_.ownSubnets() : std::vector<Subnet>{});
}

void ViewerAdmission::holdOff(const asio::ip::address& address, runtime::Duration duration)
{
    const auto now = settings_.clock->now();
    std::erase_if(heldOff_, [now](const auto& entry) { return entry.second <= now; });
    if (heldOff_.size() >= maxHeldOffAddresses && heldOff_.count(address) == 0) {
        const auto soonest = std::min_element(heldOff_.begin(), heldOff_.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
        heldOff_.erase(soonest);
    }
    heldOff_[address] = now + duration;
}

bool ViewerAdmission::isHeldOff(const asio::ip::address& address) const
{
    const auto found = heldOff_.find(address);
    return found != heldOff_.end() && settings_.clock->now() < found->second;
}

// MARK: Outsiders

ViewerAdmission::OutsiderNetwork& ViewerAdmission::outsiderNetwork(const std::string& key, runtime::TimePoint now)
{
    if (const auto found = outsiderNetworks_.find(key); found != outsiderNetworks_.end())
        return found->second;
    if (outsiderNetworks_.size() >= maxRememberedNetworks) {
        std::erase_if(outsiderNetworks_, [now](const auto& entry) { return entry.second.waiting == 0 && entry.second.penalty.settled(now); });
        // Still full of networks with penalties: the one refused longest ago goes first.
        while (outsiderNetworks_.size() >= maxRememberedNetworks) {
            auto oldest = outsiderNetworks_.end();
            for (auto entry = outsiderNetworks_.begin(); entry != outsiderNetworks_.end(); ++entry) {
                if (entry->second.waiting == 0 && (oldest == outsiderNetworks_.end() || entry->second.penalty.lastRefusal < oldest->second.penalty.lastRefusal))
                    oldest = entry;
            }
            if (oldest == outsiderNetworks_.end())
                break;
            outsiderNetworks_.erase(oldest);
        }
    }
    return outsiderNetworks_[key];
}

void ViewerAdmission::admitOutsider(const Session& session, const asio::ip::address& address)
{
    const std::string key = sourceNetworkOf(address);
    auto& network = outsiderNetwork(key, settings_.clock->now());
    if (network.waiting >= maxWaitingOutsidersPerNetwork) {
        session->close();
        return;
    }
    if (outsiders_.size() >= maxWaitingOutsiders) {
        // Room is made on the network that holds the most places, by closing its longest waiting
        // connection; a newcomer whose own network holds as many is turned away instead.
        const auto busiest = std::max_element(outsiderNetworks_.begin(), outsiderNetworks_.end(),
                                              [](const auto& a, const auto& b) { return a.second.waiting < b.second.waiting; });
        if (busiest->second.waiting <= network.waiting) {
            session->close();
            return;
        }
        const auto oldest = std::find_if(outsiders_.begin(), outsiders_.end(), [&](const auto& waiting) { return waiting->network == busiest->first; });
        forgetOutsider(*oldest);
    }

    auto outsider = std::make_shared<Outsider>();
    outsider->session = session;
    outsider->network = key;
    ++outsiderNetworks_[key].waiting;
    outsider->deadline = settings_.clock->schedule(outsiderDeadline, settings_.queue, [weak = weak_from_this(), held = std::weak_ptr(outsider)] {
        auto self = weak.lock();
        auto outsider = held.lock();
        if (self && outsider)
            self->forgetOutsider(outsider);
    });
    outsiders_.push_back(outsider);
    // Forgotten, the outsider's session is closed and reports nothing more.
    session->awaitHandshake([weak = weak_from_this(), held = std::weak_ptr(outsider)](std::optional<std::string> line) {
        auto self = weak.lock();
        auto outsider = held.lock();
        if (!self || !outsider)
            return;
        if (!line) {
            self->forgetOutsider(outsider);
            return;
        }
        outsider->handshake = std::get<Handshake>(parseInboundLine(*line));
        outsider->handshakeLine = std::move(*line);
        self->judgeOutsiders();
    });
}

void ViewerAdmission::judgeOutsiders()
{
    while (true) {
        const auto now = settings_.clock->now();
        std::optional<runtime::TimePoint> wake;
        std::shared_ptr<Outsider> next;
        for (const auto& outsider : outsiders_) {
            if (!outsider->handshake)
                continue;
            const auto& network = outsiderNetworks_[outsider->network];
            if (now >= network.penalty.notBefore) {
                next = outsider;
                break;
            }
            wake = wake ? std::min(*wake, network.penalty.notBefore) : network.penalty.notBefore;
        }
        if (!next) {
            if (wake)
                scheduleJudgement(*wake);
            return;
        }
        auto& network = outsiderNetworks_[next->network];
        const auto& handshake = *next->handshake;
        const bool trusted =
            handshake.identifierGiven && settings_.trustedPhones && settings_.trustedPhones->contains(handshake.identifier);
        if (trusted) {
            network.penalty.refusals = 0;
            promoteOutsider(next);
            continue;
        }
        network.penalty.refuse(now);
        forgetOutsider(next);
        if (auto owner = owner_.lock())
            owner->outsiderRefused();
    }
}

void ViewerAdmission::scheduleJudgement(runtime::TimePoint at)
{
    if (judgeScheduledAt_ && *judgeScheduledAt_ <= at)
        return;
    judgeScheduledAt_ = at;
    settings_.clock->schedule(at - settings_.clock->now(), settings_.queue, [weak = weak_from_this(), at] {
        auto self = weak.lock();
        if (!self)
            return;
        if (self->judgeScheduledAt_ == at)
            self->judgeScheduledAt_.reset();
        self->judgeOutsiders();
    });
}

void ViewerAdmission::promoteOutsider(const std::shared_ptr<Outsider>& outsider)
{
    forgetOutsider(outsider, false);
    if (auto owner = owner_.lock())
        owner->outsiderTrusted(outsider->session, outsider->handshakeLine);
}

void ViewerAdmission::forgetOutsider(const std::shared_ptr<Outsider>& outsider, bool close)
{
    const auto place = std::find(outsiders_.begin(), outsiders_.end(), outsider);
    if (place == outsiders_.end())
        return;
    outsiders_.erase(place);
    outsider->deadline.cancel();
    if (const auto network = outsiderNetworks_.find(outsider->network); network != outsiderNetworks_.end()) {
        --network->second.waiting;
        if (network->second.waiting == 0 && network->second.penalty.settled(settings_.clock->now()))
            outsiderNetworks_.erase(network);
    }
    if (close)
        outsider->session->close();
}

void ViewerAdmission::forgetOutsiders()
{
    while (!outsiders_.empty())
        forgetOutsider(outsiders_.front());
}

}  // namespace kestrio::link
