#include "link/frame_streamer.h"

#include "link/message_framer.h"
#include "link/peer_description.h"

#include <asio/ip/tcp.hpp>

namespace kestrio::link {

using asio::ip::tcp;

namespace {

// The peer's address as the user knows it: IPv4 peers on our dual-stack socket show as IPv4.
std::string addressText(const asio::ip::address& address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    return address.to_string();
}

}  // namespace

std::shared_ptr<FrameStreamer> FrameStreamer::create(Environment environment)
{
    auto streamer = std::shared_ptr<FrameStreamer>(new FrameStreamer(std::move(environment)));
    const Environment& e = streamer->environment_;
    // The parts report to this streamer, seen through its private bases.
    streamer->listener_ = std::make_shared<ViewerListener>(
        ViewerListener::Settings{streamer->queue_, e.clock, e.advertiser, e.hostName, e.port},
        std::shared_ptr<ViewerListener::Owner>(streamer, static_cast<ViewerListener::Owner*>(streamer.get())));
    streamer->admission_ = std::make_shared<ViewerAdmission>(
        ViewerAdmission::Settings{streamer->queue_, e.clock, e.isHomeNetworkPeer, e.ownSubnets, e.trustedPhones},
        std::shared_ptr<ViewerAdmission::Owner>(streamer, static_cast<ViewerAdmission::Owner*>(streamer.get())));
    streamer->followNetworkPaths();
    return streamer;
}

FrameStreamer::FrameStreamer(Environment environment)
    : queue_(runtime::SerialQueue::create("com.kestrio.streamer")), environment_(std::move(environment))
{
    if (!environment_.clock)
        environment_.clock = runtime::makeSteadyClock();
}

FrameStreamer::~FrameStreamer()
{
    stop();
    queue_->shutdown();
}

void FrameStreamer::start()
{
    listener_->start();
}

void FrameStreamer::stop()
{
    listener_->stop();
    if (const Session session = viewer_.take())
        session->close();
    // Waiting outsiders are only ever touched on the queue.
    auto forget = [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->admission_->forgetOutsiders();
    };
    if (queue_->isCurrent())
        forget();
    else
        queue_->post(std::move(forget));
}

// MARK: Listening

void FrameStreamer::listenerAccepted(tcp::socket socket)
{
    std::error_code error;
    const auto remote = socket.remote_endpoint(error);
    if (error || admission_->isHeldOff(remote.address())) {
        socket.close(error);
        return;
    }
    const bool homeNetwork = admission_->fromHomeNetwork(remote.address());
    // The owner a session reports to is this streamer, seen through its private base.
    const std::shared_ptr<ViewerSession::Owner> owner(shared_from_this(), static_cast<ViewerSession::Owner*>(this));
    auto session = std::make_shared<ViewerSession>(std::move(socket), owner, homeNetwork);
    if (!homeNetwork) {
        admission_->admitOutsider(session, remote.address());
        return;
    }
    viewer_.makeCurrent(session);
    // An accepted socket is already established; it reports ready on its next turn of the queue.
    queue_->post([weak = weak_from_this(), session] {
        if (auto self = weak.lock(); self && self->connectionReady(session))
            session->receive();
    });
}

void FrameStreamer::listenerChanged()
{
    fireStateChange();
}

void FrameStreamer::listenerFailed(const PeerState& failure)
{
    viewer_.setPeerState(failure);
    fireStateChange();
}

bool FrameStreamer::viewerConnectionUp() const
{
    return viewer_.connectionUp();
}

// MARK: Admission

void FrameStreamer::outsiderTrusted(const Session& session, const std::string& handshakeLine)
{
    viewer_.makeCurrent(session);
    if (connectionReady(session))
        session->resumeAfterHandshake(handshakeLine);
}

void FrameStreamer::outsiderRefused()
{
    if (onOutsiderRefused)
        onOutsiderRefused();
}

// MARK: The current viewer

bool FrameStreamer::connectionReady(const Session& session)
{
    if (!viewer_.markConnected(session, describePeerOf(*session)))
        return false;
    fireStateChange();
    return true;
}

std::string FrameStreamer::describePeerOf(const ViewerSession& session) const
{
    std::optional<std::string> host;
    if (const auto remote = session.remoteEndpoint())
        host = addressText(remote->address());
    NetworkPath path;
    if (const auto local = session.localEndpoint(); local && environment_.pathResolver)
        path = environment_.pathResolver(addressText(local->address()));
    return describePeer(host, path, environment_.thisComputer);
}

void FrameStreamer::endSession(const Session& session, const std::string& reason)
{
    if (!viewer_.end(session, reason))
        return;
    session->close();
    fireStateChange();
}

void FrameStreamer::sessionHandshaken(const Session& session, const Handshake& handshake)
{
    if (onViewerIdentity)
        onViewerIdentity({handshake.name, handshake.identifier, handshake.identifierGiven, session->homeNetwork()});
    fireStateChange();
    const std::string host = environment_.hostName ? environment_.hostName() : std::string();
    session->sendControl(makeWelcomeText(session->h264Capable(), host, environment_.version, environment_.build));
    viewer_.requestFrame();
}

void FrameStreamer::sessionWantsFrame()
{
    viewer_.requestFrame();
}

void FrameStreamer::sessionControlEvent(const ViewerControlEvent& event)
{
    if (onControlEvent)
        onControlEvent(event);
}

void FrameStreamer::sessionEnded(const Session& session, const std::string& reason)
{
    endSession(session, reason);
}

void FrameStreamer::dropConnectionIfCurrent(std::uint64_t generation, std::string reason, runtime::Duration holdOff)
{
    // Always a task of its own: called from onControlEvent, it must not end the connection while
    // the line that led to it is being handled.
    queue_->post([weak = weak_from_this(), generation, reason = std::move(reason), holdOff] {
        auto self = weak.lock();
        if (!self)
            return;
        const Session session = self->viewer_.session();
        if (!session || session->number() != generation)
            return;
        if (const auto remote = session->remoteEndpoint(); remote && holdOff > runtime::Duration::zero())
            self->admission_->holdOff(remote->address(), holdOff);
        self->endSession(session, reason);
    });
}

std::string FrameStreamer::peerName() const
{
    const auto peer = peerState();
    switch (peer.kind) {
    case PeerState::Kind::waiting:
        return "USB 또는 로컬 네트워크";
    case PeerState::Kind::listenerFailed:
        return "수신 대기 실패 \u00B7 " + peer.detail;
    case PeerState::Kind::retryFailed:
        return "수신 재시도 중 \u00B7 " + peer.detail;
    case PeerState::Kind::readvertiseFailed:
        return "수신 재검색 중 \u00B7 " + peer.detail;
    case PeerState::Kind::connected:
    case PeerState::Kind::dropped:
        break;
    }
    return peer.detail;
}

void FrameStreamer::fireStateChange()
{
    if (onStateChange)
        onStateChange();
}

}  // namespace kestrio::link
