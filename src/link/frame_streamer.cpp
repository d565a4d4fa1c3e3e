#include "link/frame_streamer.h"

#include "link/message_framer.h"
#include "link/peer_description.h"

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>

#include <chrono>
#include <system_error>

namespace kestrio::link {

using asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr auto restartDelay = 1000ms;
constexpr auto readvertiseDelay = 1250ms;

std::string errorDescription(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        return e.code().message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

struct FrameStreamer::Listener {
    explicit Listener(asio::io_context& context) : acceptor(context) {}

    tcp::acceptor acceptor;
    std::uint16_t port = 0;
    std::string instanceName;
    std::unique_ptr<ServiceRegistration> registration;
};

std::shared_ptr<FrameStreamer> FrameStreamer::create(Environment environment)
{
    std::shared_ptr<FrameStreamer> streamer(new FrameStreamer(std::move(environment)));
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

// MARK: Listener

void FrameStreamer::start()
{
    {
        std::lock_guard lock(lock_);
        shouldRun_ = true;
        if (listener_)
            return;
    }

    std::shared_ptr<Listener> listener;
    try {
        listener = openListener();
    } catch (...) {
        scheduleRestart();
        throw;
    }

    const std::string host = environment_.hostName ? environment_.hostName() : std::string();
    std::uint64_t generation;
    {
        std::lock_guard lock(lock_);
        generation = ++advertisementGeneration_;
    }
    listener->instanceName = advertisementInstanceName(host, generation);
    if (environment_.advertiser)
        listener->registration = environment_.advertiser->advertise({listener->instanceName, serviceType, listener->port});

    bool raced = false;
    {
        std::lock_guard lock(lock_);
        // Two starts may race (a retry and a retry-now); the first to get here keeps its listener.
        if (listener_)
            raced = true;
        else
            listener_ = listener;
    }
    if (raced) {
        cancelListener(std::move(listener));
        return;
    }
    queue_->post([weak = weak_from_this(), listener] {
        if (auto self = weak.lock()) {
            self->beginAccept(listener);
            self->listenerReadyOnQueue(listener);
        }
    });
}

std::shared_ptr<FrameStreamer::Listener> FrameStreamer::openListener()
{
    auto listener = std::make_shared<Listener>(queue_->context());
    auto& acceptor = listener->acceptor;
    std::error_code error;
    tcp::endpoint endpoint(tcp::v6(), environment_.port);
    acceptor.open(tcp::v6(), error);
    if (!error)
        acceptor.set_option(asio::ip::v6_only(false), error);
    if (error) {
        // No IPv6 on this machine: listen on IPv4 alone.
        std::error_code ignored;
        acceptor.close(ignored);
        endpoint = tcp::endpoint(tcp::v4(), environment_.port);
        acceptor.open(tcp::v4());
    }
    acceptor.set_option(asio::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
    listener->port = acceptor.local_endpoint().port();
    return listener;
}

void FrameStreamer::beginAccept(const std::shared_ptr<Listener>& listener)
{
    listener->acceptor.async_accept([weak = weak_from_this(), listener](std::error_code error, tcp::socket socket) {
        auto self = weak.lock();
        if (!self || error == asio::error::operation_aborted)
            return;
        {
            std::lock_guard lock(self->lock_);
            if (self->listener_ != listener)
                return;
        }
        if (!error) {
            self->acceptConnection(std::move(socket));
        } else if (error != asio::error::connection_aborted && error != asio::error::interrupted &&
                   error != asio::error::try_again) {
            self->listenerFailed(listener, error.message());
            return;
        }
        self->beginAccept(listener);
    });
}

void FrameStreamer::listenerReadyOnQueue(const std::shared_ptr<Listener>& listener)
{
    {
        std::lock_guard lock(lock_);
        // A listener cancelled before it came up reports nothing.
        if (listener_ != listener)
            return;
        listenerReady_ = true;
    }
    fireStateChange();
}

void FrameStreamer::listenerFailed(const std::shared_ptr<Listener>& listener, const std::string& description)
{
    {
        std::lock_guard lock(lock_);
        if (listener_ != listener)
            return;
        listener_.reset();
        listenerReady_ = false;
        peer_ = {PeerState::Kind::listenerFailed, description};
    }
    cancelListener(listener);
    fireStateChange();
    scheduleRestart();
}

void FrameStreamer::cancelListener(std::shared_ptr<Listener> listener)
{
    if (!listener)
        return;
    onQueue([listener] {
        std::error_code ignored;
        listener->acceptor.close(ignored);
        listener->registration.reset();
    });
}

void FrameStreamer::scheduleRestart()
{
    environment_.clock->schedule(restartDelay, queue_, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        {
            std::lock_guard lock(self->lock_);
            if (!self->shouldRun_ || self->listener_)
                return;
        }
        self->startReportingFailure(PeerState::Kind::retryFailed);
    });
}

bool FrameStreamer::startReportingFailure(PeerState::Kind failure)
{
    try {
        start();
        return true;
    } catch (...) {
        const std::string description = errorDescription(std::current_exception());
        {
            std::lock_guard lock(lock_);
            peer_ = {failure, description};
        }
        fireStateChange();
        return false;
    }
}

void FrameStreamer::retryNow()
{
    queue_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        {
            std::lock_guard lock(self->lock_);
            if (!self->shouldRun_ || self->listener_)
                return;
        }
        if (!self->startReportingFailure(PeerState::Kind::retryFailed))
            self->scheduleRestart();
    });
}

void FrameStreamer::refreshAdvertisement()
{
    onQueue([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->refreshAdvertisementOnQueue();
    });
}

void FrameStreamer::refreshAdvertisementOnQueue()
{
    std::shared_ptr<Listener> taken;
    {
        std::lock_guard lock(lock_);
        if (!shouldRun_ || listenerReady_ || (session_ && session_->tcpConnected()))
            return;
        taken = std::move(listener_);
        listener_.reset();
        listenerReady_ = false;
    }
    if (!taken)
        return;
    cancelListener(std::move(taken));
    fireStateChange();
    environment_.clock->schedule(readvertiseDelay, queue_, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        {
            std::lock_guard lock(self->lock_);
            if (!self->shouldRun_ || self->listener_ || (self->session_ && self->session_->tcpConnected()))
                return;
        }
        self->startReportingFailure(PeerState::Kind::readvertiseFailed);
    });
}

void FrameStreamer::stop()
{
    std::shared_ptr<Listener> listener;
    Session session;
    {
        std::lock_guard lock(lock_);
        listener = std::move(listener_);
        listener_.reset();
        shouldRun_ = false;
        listenerReady_ = false;
        session = std::move(session_);
        session_.reset();
    }
    if (session)
        session->close();
    cancelListener(std::move(listener));
    onQueue([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->forgetOutsiders();
    });
}

// MARK: Sessions

void FrameStreamer::acceptConnection(tcp::socket socket)
{
    std::error_code error;
    const auto remote = socket.remote_endpoint(error);
    if (error || isHeldOff(remote.address())) {
        socket.close(error);
        return;
    }
    const bool homeNetwork = fromHomeNetwork(remote.address());
    // The owner a session reports to is this streamer, seen through its private base.
    const std::shared_ptr<ViewerSession::Owner> owner(shared_from_this(), static_cast<ViewerSession::Owner*>(this));
    auto session = std::make_shared<ViewerSession>(std::move(socket), owner, homeNetwork);
    if (!homeNetwork) {
        admitOutsider(session, remote.address());
        return;
    }
    makeCurrent(session);
    // An accepted socket is already established; it reports ready on its next turn of the queue.
    queue_->post([weak = weak_from_this(), session] {
        if (auto self = weak.lock(); self && self->connectionReady(session))
            session->receive();
    });
}

bool FrameStreamer::fromHomeNetwork(const asio::ip::address& address) const
{
    if (environment_.isHomeNetworkPeer)
        return environment_.isHomeNetworkPeer(address);
    return isHomeNetworkPeer(address, environment_.ownSubnets ? environment_.ownSubnets() : std::vector<Subnet>{});
}

void FrameStreamer::makeCurrent(const Session& session)
{
    session->setNumber(nextSessionNumber_++);
    Session old;
    {
        std::lock_guard lock(lock_);
        old = std::exchange(session_, session);
    }
    if (old)
        old->close();
}

bool FrameStreamer::connectionReady(const Session& session)
{
    const std::string description = describeConnection(*session);
    {
        std::lock_guard lock(lock_);
        if (session_ != session || !session->markConnected())
            return false;
        peer_ = {PeerState::Kind::connected, description};
    }
    fireStateChange();
    return true;
}

void FrameStreamer::endSession(const Session& session, const std::string& reason)
{
    {
        std::lock_guard lock(lock_);
        if (session_ != session)
            return;
        session_.reset();
        peer_ = {PeerState::Kind::dropped, reason};
    }
    session->close();
    fireStateChange();
}

FrameStreamer::Session FrameStreamer::currentSession() const
{
    std::lock_guard lock(lock_);
    return session_;
}

void FrameStreamer::sessionHandshaken(const Session& session, const Handshake& handshake)
{
    if (onViewerIdentity)
        onViewerIdentity({handshake.name, handshake.identifier, handshake.identifierGiven, session->homeNetwork()});
    fireStateChange();
    const std::string host = environment_.hostName ? environment_.hostName() : std::string();
    session->sendControl(makeWelcomeText(session->h264Capable(), host, environment_.version, environment_.build));
    requestFrame();
}

void FrameStreamer::sessionWantsFrame()
{
    requestFrame();
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

std::uint64_t FrameStreamer::connectionGeneration() const
{
    std::lock_guard lock(lock_);
    return session_ ? session_->number() : 0;
}

void FrameStreamer::dropConnectionIfCurrent(std::uint64_t generation, std::string reason, runtime::Duration holdOff)
{
    // Always a task of its own: called from onControlEvent, it must not end the connection while
    // the line that led to it is being handled.
    queue_->post([weak = weak_from_this(), generation, reason = std::move(reason), holdOff] {
        auto self = weak.lock();
        if (!self)
            return;
        const Session session = self->currentSession();
        if (!session || session->number() != generation)
            return;
        if (const auto remote = session->remoteEndpoint(); remote && holdOff > runtime::Duration::zero())
            self->holdOff(remote->address(), holdOff);
        self->endSession(session, reason);
    });
}

void FrameStreamer::holdOff(const asio::ip::address& address, runtime::Duration duration)
{
    const auto now = environment_.clock->now();
    std::erase_if(heldOff_, [now](const auto& entry) { return entry.second <= now; });
    if (heldOff_.size() >= maxHeldOffAddresses && heldOff_.count(address) == 0) {
        const auto soonest = std::min_element(heldOff_.begin(), heldOff_.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
        heldOff_.erase(soonest);
    }
    heldOff_[address] = now + duration;
}

bool FrameStreamer::isHeldOff(const asio::ip::address& address) const
{
    const auto found = heldOff_.find(address);
    return found != heldOff_.end() && environment_.clock->now() < found->second;
}

// MARK: Sending

void FrameStreamer::send(Payload payload, bool isFrame)
{
    if (const auto session = currentSession())
        session->send(std::move(payload), isFrame);
}

void FrameStreamer::sendControl(std::string_view text)
{
    if (const auto session = currentSession())
        session->sendControl(text);
}

// MARK: Queries

bool FrameStreamer::isViewerConnected() const
{
    const auto session = currentSession();
    return session && session->isViewerConnected();
}

bool FrameStreamer::h264Capable() const
{
    const auto session = currentSession();
    return session && session->h264Capable();
}

bool FrameStreamer::listenerReady() const
{
    std::lock_guard lock(lock_);
    return listenerReady_;
}

FrameStreamer::PeerState FrameStreamer::peerState() const
{
    std::lock_guard lock(lock_);
    return peer_;
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

bool FrameStreamer::peerOnHomeNetwork() const
{
    const auto session = currentSession();
    return session && session->homeNetwork();
}

bool FrameStreamer::canAcceptFrame() const
{
    const auto session = currentSession();
    return session && session->canAcceptFrame();
}

int FrameStreamer::framesQueued() const
{
    const auto session = currentSession();
    return session ? session->framesQueued() : 0;
}

bool FrameStreamer::consumeKeyFrameRequest()
{
    const auto session = currentSession();
    return session && session->consumeKeyFrameRequest();
}

std::uint16_t FrameStreamer::listeningPort() const
{
    std::lock_guard lock(lock_);
    return listener_ ? listener_->port : 0;
}

std::string FrameStreamer::advertisedName() const
{
    std::lock_guard lock(lock_);
    return listener_ ? listener_->instanceName : std::string();
}

std::optional<ServiceRegistration::State> FrameStreamer::advertisementState() const
{
    std::lock_guard lock(lock_);
    if (!listener_ || !listener_->registration)
        return std::nullopt;
    return listener_->registration->state();
}

void FrameStreamer::setFrameRequestHandler(std::function<void()> handler)
{
    auto shared = handler ? std::make_shared<const std::function<void()>>(std::move(handler)) : nullptr;
    std::lock_guard lock(lock_);
    frameRequestHandler_ = std::move(shared);
}

void FrameStreamer::requestFrame()
{
    std::shared_ptr<const std::function<void()>> handler;
    {
        std::lock_guard lock(lock_);
        handler = frameRequestHandler_;
    }
    if (handler)
        (*handler)();
}

void FrameStreamer::onQueue(std::function<void()> task)
{
    // Sockets and acceptors are only ever touched on the queue.
    if (queue_->isCurrent())
        task();
    else
        queue_->post(std::move(task));
}

void FrameStreamer::fireStateChange()
{
    if (onStateChange)
        onStateChange();
}

}  // namespace kestrio::link
