#pragma once

#include "link/current_viewer.h"
#include "link/network_path.h"
#include "link/peer_trust.h"
#include "link/service_advertiser.h"
#include "link/viewer_admission.h"
#include "link/viewer_control_event.h"
#include "link/viewer_identity.h"
#include "link/viewer_listener.h"
#include "link/viewer_session.h"
#include "runtime/clock.h"
#include "runtime/serial_queue.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrio::link {

// The TCP server the phone viewer connects to. It listens on one port and advertises itself by
// DNS-SD (ViewerListener), decides which connections are served (ViewerAdmission) and keeps
// exactly one viewer session (the newest wins; CurrentViewer, and ViewerSession for what one
// connection does), whose handshakes, control events and departure it reports.
//
// Network work, timers and the callbacks run on the serial queue "com.kestrio.streamer".
// Public operations may be called from any thread. The callbacks are set before start() and
// never called while a lock is held.
class FrameStreamer final : public std::enable_shared_from_this<FrameStreamer>,
                            private ViewerSession::Owner,
                            private ViewerListener::Owner,
                            private ViewerAdmission::Owner {
public:
    using Payload = ViewerSession::Payload;
    using PeerState = link::PeerState;

    static constexpr std::uint16_t defaultPort = 59590;
    static constexpr std::size_t maxPendingControls = ViewerSession::maxPendingControls;
    static constexpr const char* serviceType = ViewerListener::serviceType;

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
    // The host's interfaces or addresses changed and have settled (on the queue).
    std::function<void()> onNetworkChange;

    // Begins listening. Throws std::system_error when the listener cannot be created, after
    // scheduling a retry 1.0 s later. Does nothing more while a listener exists.
    void start();
    // Ends the listener and the connection and forgets queued output. Fires no state change.
    void stop();
    // Tries to create a missing listener now instead of waiting for the next retry.
    void retryNow() { listener_->retryNow(); }
    // Replaces a listener that has not become ready by a new one (with a new instance name)
    // 1.25 s later, while no viewer is connected. Runs on the queue: at once when called there,
    // else later, and not at all once the streamer is gone.
    void refreshAdvertisement() { listener_->refreshAdvertisement(); }

    bool isViewerConnected() const { return viewer_.isViewerConnected(); }
    bool h264Capable() const { return viewer_.h264Capable(); }
    bool listenerReady() const { return listener_->ready(); }
    // Whether the current viewer connected from the home network.
    bool peerOnHomeNetwork() const { return viewer_.onHomeNetwork(); }
    // What the streamer can say about its viewer: the peer it serves, or why it has none.
    PeerState peerState() const { return viewer_.peerState(); }
    // The peer state as one line, as logs and the link's tests read it.
    std::string peerName() const;
    // Which connection is current: a number never reused within the streamer's life, 0 while
    // there is none. Read inside onControlEvent, it names the connection the event came from.
    std::uint64_t connectionGeneration() const { return viewer_.generation(); }
    // Ends the connection numbered `generation` if it is still the current one, with `reason` as
    // peerName, as for any other drop. For `holdOff` afterwards, new connections from the same
    // address are closed as they arrive, leaving the current viewer alone: a viewer dropped for
    // sending more than the host can take would otherwise be back at once, and every new viewer
    // restarts the stream. Runs later on the queue; may be called from any thread.
    void dropConnectionIfCurrent(std::uint64_t generation, std::string reason, runtime::Duration holdOff = {});

    // True when a frame produced now would be sent or kept: with H.264 while no frame waits,
    // with JPEG while nothing is in flight. A message is in flight from the moment it is handed
    // to the socket until the network has taken all but a few kilobytes of it.
    bool canAcceptFrame() const { return viewer_.canAcceptFrame(); }
    // Frames handed over and not yet taken by the network: the one in flight (counted whenever a
    // message is in flight) and the one waiting, so 0 to 2.
    int framesQueued() const { return viewer_.framesQueued(); }
    // Returns whether the next encoded frame must be a key frame, and clears the request.
    bool consumeKeyFrameRequest() { return viewer_.consumeKeyFrameRequest(); }
    // Called on the queue whenever the viewer needs a picture even if the screen is still:
    // after each accepted handshake and each "KEYFRAME" line. The capture in charge sets it and
    // clears it (with an empty function) when it stops; it may be set at any time.
    void setFrameRequestHandler(std::function<void()> handler) { viewer_.setFrameRequestHandler(std::move(handler)); }

    // Sends a payload (a frame, or a control message). Never blocks on the network; a payload
    // that cannot be sent or kept is dropped silently.
    void send(Payload payload, bool isFrame) { viewer_.send(std::move(payload), isFrame); }
    void sendControl(std::string_view text) { viewer_.sendControl(text); }

    const std::shared_ptr<runtime::SerialQueue>& queue() const { return queue_; }
    // The port the current listener is bound to; 0 while there is none.
    std::uint16_t listeningPort() const { return listener_->port(); }
    // The instance name requested for the current listener's advertisement; "" while none.
    std::string advertisedName() const { return listener_->advertisedName(); }
    // The current listener's advertisement registration state, if it has one.
    std::optional<ServiceRegistration::State> advertisementState() const { return listener_->advertisementState(); }

private:
    using Session = std::shared_ptr<ViewerSession>;

    explicit FrameStreamer(Environment environment);

    // Listening.
    void listenerAccepted(asio::ip::tcp::socket socket) override;
    void listenerChanged() override;
    void listenerFailed(const PeerState& failure) override;
    bool viewerConnectionUp() const override;

    // Admission.
    void outsiderTrusted(const Session& session, const std::string& handshakeLine) override;
    void outsiderRefused() override;

    // The current viewer.
    // Reports the session as connected; false when it is no longer current.
    bool connectionReady(const Session& session);
    // The user's one-line description of the session's peer: its address and the path it
    // arrived on.
    std::string describePeerOf(const ViewerSession& session) const;
    // Ends the session, if it is the current one, with `reason` as why it went.
    void endSession(const Session& session, const std::string& reason);

    // The connection's path followed (frame_streamer_paths.cpp).
    void followNetworkPaths();
    void networkChanged();
    void refreshPeerPath();

    void sessionHandshaken(const Session& session, const Handshake& handshake) override;
    void sessionWantsFrame() override;
    void sessionControlEvent(const ViewerControlEvent& event) override;
    void sessionEnded(const Session& session, const std::string& reason) override;

    void fireStateChange();

    // Declared first so that it is destroyed last: every socket belongs to its io_context.
    std::shared_ptr<runtime::SerialQueue> queue_;
    Environment environment_;
    // Made by create(), which gives them this streamer to report to.
    std::shared_ptr<ViewerListener> listener_;
    std::shared_ptr<ViewerAdmission> admission_;
    CurrentViewer viewer_;
    // The watch of the host's interfaces, and whether a look at the path is due. Queue only.
    std::shared_ptr<void> networkWatch_;
    bool pathCheckScheduled_ = false;
};

}  // namespace kestrio::link
