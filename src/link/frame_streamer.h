#pragma once

#include "link/network_path.h"
#include "link/peer_trust.h"
#include "link/service_advertiser.h"
#include "link/viewer_control_event.h"
#include "link/viewer_identity.h"
#include "link/viewer_session.h"
#include "runtime/clock.h"
#include "runtime/serial_queue.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::link {

// The TCP server the phone viewer connects to. It listens on one port, advertises itself by
// DNS-SD and keeps exactly one viewer session (the newest wins; see ViewerSession for what one
// connection does), whose handshakes, control events and departure it reports.
//
// Network work, timers and the callbacks run on the serial queue "com.kestrio.streamer".
// Public operations may be called from any thread. The callbacks are set before start() and
// never while the lock is held.
class FrameStreamer final : public std::enable_shared_from_this<FrameStreamer>, private ViewerSession::Owner {
public:
    using Payload = ViewerSession::Payload;

    static constexpr std::uint16_t defaultPort = 59590;
    static constexpr std::size_t maxPendingControls = ViewerSession::maxPendingControls;
    static constexpr const char* serviceType = "_kestrio._tcp";

    struct Environment {
        std::shared_ptr<runtime::Clock> clock;          // required
        std::shared_ptr<ServiceAdvertiser> advertiser;  // none: the listener is not advertised
        std::function<std::string()> hostName;          // the computer's user-visible name, "" if none
        PathResolver pathResolver;                      // none: connections have no known path
        // Tells when the host's interfaces or addresses change; none: a connection keeps the
        // path it arrived with.
        NetworkChangeWatcher networkChanges;
        std::string version;                            // reported in "WELCOME"; "0" when empty
        std::string build;                              // reported in "WELCOME"; "0" when empty
        std::uint16_t port = defaultPort;               // 0 picks a free port (tests)
        // Whether a peer is on the home network; none: isHomeNetworkPeer over ownSubnets().
        std::function<bool(const asio::ip::address&)> isHomeNetworkPeer;
        std::function<std::vector<Subnet>()> ownSubnets;  // the host's interfaces; none: no own subnets
        // The phones that may connect from outside the home network; none: nobody may.
        std::shared_ptr<const TrustedPhones> trustedPhones;
        // How a viewer's description names the path of one on this same computer.
        std::string thisComputer = "이 Mac";
    };

    // A viewer from outside the home network can only have come through the router's port
    // mapping, and the protocol carries no secret. Such a connection is served only once its
    // handshake names, with an identifier of its own, a phone the user trusts; until then it is
    // read for its handshake alone, gets no answer, and does not disturb the current viewer.
    //
    // Waiting places and refusal penalties belong to the source network (an IPv4 /24, an IPv6
    // /64; see sourceNetworkOf), so that strangers on one network cannot keep the owner, arriving
    // from another, waiting or out.
    static constexpr std::size_t maxWaitingOutsidersPerNetwork = 4;
    static constexpr std::size_t maxWaitingOutsiders = 64;
    // A connection not judged this long after it arrived is closed, whether or not its handshake
    // came.
    static constexpr std::chrono::seconds outsiderDeadline{10};
    // After each refusal the next handshake from the same network is judged no sooner than this,
    // doubling up to the longest, so that identifiers cannot be tried quickly. A network's count
    // of refusals drops by one for each quiet period after its penalty has run out.
    static constexpr std::chrono::seconds firstRefusalPenalty{1};
    static constexpr std::chrono::seconds longestRefusalPenalty{60};
    static constexpr std::chrono::seconds refusalQuietPeriod{30};
    // How many source networks with a refusal on record are remembered at most.
    static constexpr std::size_t maxRememberedNetworks = 4096;
    // How many addresses are held off at once at most (see dropConnectionIfCurrent).
    static constexpr std::size_t maxHeldOffAddresses = 256;
    // After the host's interfaces or addresses change, the current connection's path is looked
    // up again this much later, once for all the changes that came meanwhile; when it differs,
    // its description changes with a state change, as on connecting.
    static constexpr std::chrono::milliseconds pathSettleDelay{250};

    static std::shared_ptr<FrameStreamer> create(Environment environment);
    ~FrameStreamer();

    FrameStreamer(const FrameStreamer&) = delete;
    FrameStreamer& operator=(const FrameStreamer&) = delete;

    std::function<void()> onStateChange;
    std::function<void(const ViewerControlEvent&)> onControlEvent;
    std::function<void(const ViewerIdentity&)> onViewerIdentity;
    // A handshake from outside the home network was refused (on the queue).
    std::function<void()> onOutsiderRefused;

    // Begins listening. Throws std::system_error when the listener cannot be created, after
    // scheduling a retry 1.0 s later. Does nothing more while a listener exists.
    void start();
    // Ends the listener and the connection and forgets queued output. Fires no state change.
    void stop();
    // Tries to create a missing listener now instead of waiting for the next retry.
    void retryNow();
    // Replaces a listener that has not become ready by a new one (with a new instance name)
    // 1.25 s later, while no viewer is connected. Runs on the queue: at once when called there,
    // else later, and not at all once the streamer is gone.
    void refreshAdvertisement();

    bool isViewerConnected() const;
    bool h264Capable() const;
    bool listenerReady() const;
    // Whether the current viewer connected from the home network.
    bool peerOnHomeNetwork() const;
    // What the streamer can say about its viewer: the peer it serves, or why it has none.
    struct PeerState {
        enum class Kind { waiting, connected, dropped, listenerFailed, retryFailed, readvertiseFailed };
        Kind kind = Kind::waiting;
        std::string detail;  // the peer's description, why it went, or why listening failed
        bool operator==(const PeerState&) const = default;
    };
    PeerState peerState() const;
    // The peer state as one line, as logs and the link's tests read it.
    std::string peerName() const;
    // Which connection is current: a number never reused within the streamer's life, 0 while
    // there is none. Read inside onControlEvent, it names the connection the event came from.
    std::uint64_t connectionGeneration() const;
    // Ends the connection numbered `generation` if it is still the current one, with `reason` as
    // peerName, as for any other drop. For `holdOff` afterwards, new connections from the same
    // address are closed as they arrive, leaving the current viewer alone: a viewer dropped for
    // sending more than the host can take would otherwise be back at once, and every new viewer
    // restarts the stream. Runs later on the queue; may be called from any thread.
    void dropConnectionIfCurrent(std::uint64_t generation, std::string reason, runtime::Duration holdOff = {});

    // True when a frame produced now would be sent or kept: with H.264 while no frame waits,
    // with JPEG while nothing is in flight. A message is in flight from the moment it is handed
    // to the socket until the network has taken all but a few kilobytes of it.
    bool canAcceptFrame() const;
    // Frames handed over and not yet taken by the network: the one in flight (counted whenever a
    // message is in flight) and the one waiting, so 0 to 2.
    int framesQueued() const;
    // Returns whether the next encoded frame must be a key frame, and clears the request.
    bool consumeKeyFrameRequest();
    // Called on the queue whenever the viewer needs a picture even if the screen is still:
    // after each accepted handshake and each "KEYFRAME" line. The capture in charge sets it and
    // clears it (with an empty function) when it stops; it may be set at any time.
    void setFrameRequestHandler(std::function<void()> handler);

    // Sends a payload (a frame, or a control message). Never blocks on the network; a payload
    // that cannot be sent or kept is dropped silently.
    void send(Payload payload, bool isFrame);
    void sendControl(std::string_view text);

    const std::shared_ptr<runtime::SerialQueue>& queue() const { return queue_; }
    // The port the current listener is bound to; 0 while there is none.
    std::uint16_t listeningPort() const;
    // The instance name requested for the current listener's advertisement; "" while none.
    std::string advertisedName() const;
    // The current listener's advertisement registration state, if it has one.
    std::optional<ServiceRegistration::State> advertisementState() const;

private:
    struct Listener;
    struct Outsider;
    // What is known of one source network of outside connections.
    struct OutsiderNetwork {
        std::size_t waiting = 0;
        int refusals = 0;
        runtime::TimePoint lastRefusal{};
        runtime::TimePoint judgeNotBefore{};
    };
    using Session = std::shared_ptr<ViewerSession>;

    explicit FrameStreamer(Environment environment);

    std::shared_ptr<Listener> openListener();
    void beginAccept(const std::shared_ptr<Listener>& listener);
    void listenerReadyOnQueue(const std::shared_ptr<Listener>& listener);
    void listenerFailed(const std::shared_ptr<Listener>& listener, const std::string& description);
    void cancelListener(std::shared_ptr<Listener> listener);
    void scheduleRestart();
    bool startReportingFailure(PeerState::Kind failure);
    void refreshAdvertisementOnQueue();

    void acceptConnection(asio::ip::tcp::socket socket);
    bool fromHomeNetwork(const asio::ip::address& address) const;
    void holdOff(const asio::ip::address& address, runtime::Duration duration);
    bool isHeldOff(const asio::ip::address& address) const;
    // Numbers the session and makes it the current one, closing the one it replaces.
    void makeCurrent(const Session& session);
    // Reports the current session as connected; false when it is no longer current.
    bool connectionReady(const Session& session);
    // Ends the session, if it is the current one, with `reason` as why it went.
    void endSession(const Session& session, const std::string& reason);
    Session currentSession() const;

    void sessionHandshaken(const Session& session, const Handshake& handshake) override;
    void sessionWantsFrame() override;
    void sessionControlEvent(const ViewerControlEvent& event) override;
    void sessionEnded(const Session& session, const std::string& reason) override;

    void admitOutsider(const Session& session, const asio::ip::address& address);
    void judgeOutsiders();
    void promoteOutsider(const std::shared_ptr<Outsider>& outsider);
    // Takes the connection off the waiting list, and closes it unless it is being served.
    void forgetOutsider(const std::shared_ptr<Outsider>& outsider, bool close = true);
    void forgetOutsiders();
    OutsiderNetwork& outsiderNetwork(const std::string& key, runtime::TimePoint now);
    // The network's refusals once the quiet periods since its last one are taken off.
    static int refusalsNow(const OutsiderNetwork& network, runtime::TimePoint now);
    static bool forgettable(const OutsiderNetwork& network, runtime::TimePoint now);
    void scheduleJudgement(runtime::TimePoint at);

    // The connection's path followed (frame_streamer_paths.cpp).
    void followNetworkPaths();
    void networkChanged();
    void refreshPeerPath();
    std::string describeConnection(const ViewerSession& session) const;

    void onQueue(std::function<void()> task);
    void requestFrame();
    void fireStateChange();

    // Declared first so that it is destroyed last: every socket belongs to its io_context.
    std::shared_ptr<runtime::SerialQueue> queue_;
    Environment environment_;
    std::uint64_t nextSessionNumber_ = 1;  // queue only

    mutable std::mutex lock_;
    std::shared_ptr<Listener> listener_;
    bool shouldRun_ = false;
    bool listenerReady_ = false;
    Session session_;
    PeerState peer_;
    std::uint64_t advertisementGeneration_ = 0;
    std::shared_ptr<const std::function<void()>> frameRequestHandler_;

    // Addresses whose new connections are closed on arrival, until when. Queue only.
    std::map<asio::ip::address, runtime::TimePoint> heldOff_;
    // Outside connections waiting to be judged, oldest first, and what is known of the networks
    // they come from. Queue only.
    std::vector<std::shared_ptr<Outsider>> outsiders_;
    std::map<std::string, OutsiderNetwork> outsiderNetworks_;
    std::optional<runtime::TimePoint> judgeScheduledAt_;
    // The watch of the host's interfaces, and whether a look at the path is due. Queue only.
    std::shared_ptr<void> networkWatch_;
    bool pathCheckScheduled_ = false;
};

}  // namespace kestrio::link
