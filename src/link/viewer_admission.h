#pragma once

#include "link/inbound_line.h"
#include "link/peer_trust.h"
#include "link/refusal_penalty.h"
#include "runtime/clock.h"
#include "runtime/serial_queue.h"

#include <asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrio::link {

class ViewerSession;

// Which of the connections the listener accepts are served. A viewer on the home network is
// served as it connects, unless its address is held off (see holdOff).
//
// A viewer from outside the home network can only have come through the router's port mapping,
// and the protocol carries no secret. Such a connection is served only once its handshake
// names, with an identifier of its own, a phone the user trusts; until then it is read for its
// handshake alone, gets no answer, and does not disturb the current viewer.
//
// Waiting places and refusal penalties belong to the source network (an IPv4 /24, an IPv6 /64;
// see sourceNetworkOf), so that strangers on one network cannot keep the owner, arriving from
// another, waiting or out.
//
// Everything runs on the queue, the owner's calls included.
class ViewerAdmission final : public std::enable_shared_from_this<ViewerAdmission> {
public:
    static constexpr std::size_t maxWaitingOutsidersPerNetwork = 4;
    static constexpr std::size_t maxWaitingOutsiders = 64;
    // A connection not judged this long after it arrived is closed, whether or not its handshake
    // came.
    static constexpr std::chrono::seconds outsiderDeadline{10};
    // After each refusal the next handshake from the same network waits (RefusalPenalty).
    static constexpr std::chrono::seconds firstRefusalPenalty = RefusalPenalty::first;
    static constexpr std::chrono::seconds longestRefusalPenalty = RefusalPenalty::longest;
    static constexpr std::chrono::seconds refusalQuietPeriod = RefusalPenalty::quietPeriod;
    // How many source networks with a refusal on record are remembered at most.
    static constexpr std::size_t maxRememberedNetworks = 4096;
    // How many addresses are held off at once at most.
    static constexpr std::size_t maxHeldOffAddresses = 256;

    using Session = std::shared_ptr<ViewerSession>;

    // What the admission tells the one that serves the viewers.
    class Owner {
    public:
        // An outside connection named a trusted phone: it is the owner's to serve now, from the
        // handshake line it sent on.
        virtual void outsiderTrusted(const Session& session, const std::string& handshakeLine) = 0;
        // An outside connection's handshake was refused, and the connection closed.
        virtual void outsiderRefused() = 0;

    protected:
        ~Owner() = default;
    };

    struct Settings {
        std::shared_ptr<runtime::SerialQueue> queue;
        std::shared_ptr<runtime::Clock> clock;
        // Whether a peer is on the home network; none: isHomeNetworkPeer over ownSubnets().
        std::function<bool(const asio::ip::address&)> isHomeNetworkPeer;
        std::function<std::vector<Subnet>()> ownSubnets;  // the host's interfaces; none: no own subnets
        // The phones that may connect from outside the home network; none: nobody may.
        std::shared_ptr<const TrustedPhones> trustedPhones;
    };

    ViewerAdmission(Settings settings, std::weak_ptr<Owner> owner);

    ViewerAdmission(const ViewerAdmission&) = delete;
    ViewerAdmission& operator=(const ViewerAdmission&) = delete;

    bool fromHomeNetwork(const asio::ip::address& address) const;
    // New connections from `address` are to be closed as they arrive for `duration`. At most
    // maxHeldOffAddresses are held off; a new one takes the place of the one held off shortest.
    void holdOff(const asio::ip::address& address, runtime::Duration duration);
    bool isHeldOff(const asio::ip::address& address) const;

    // Keeps a connection from outside the home network waiting for its handshake and its
    // judgement, or closes it when there is no place for it.
    void admitOutsider(const Session& session, const asio::ip::address& address);
    // Closes every waiting outside connection.
    void forgetOutsiders();

private:
    struct Outsider;
    // What is known of one source network of outside connections.
    struct OutsiderNetwork {
        std::size_t waiting = 0;
        RefusalPenalty penalty;
    };

    void judgeOutsiders();
    void promoteOutsider(const std::shared_ptr<Outsider>& outsider);
    // Takes the connection off the waiting list, and closes it unless it is being served.
    void forgetOutsider(const std::shared_ptr<Outsider>& outsider, bool close = true);
    OutsiderNetwork& outsiderNetwork(const std::string& key, runtime::TimePoint now);
    void scheduleJudgement(runtime::TimePoint at);

    const Settings settings_;
    const std::weak_ptr<Owner> owner_;

    // Addresses whose new connections are closed on arrival, until when.
    std::map<asio::ip::address, runtime::TimePoint> heldOff_;
    // Outside connections waiting to be judged, oldest first, and what is known of the networks
    // they come from.
    std::vector<std::shared_ptr<Outsider>> outsiders_;
    std::map<std::string, OutsiderNetwork> outsiderNetworks_;
    std::optional<runtime::TimePoint> judgeScheduledAt_;
};

}  // namespace kestrio::link
