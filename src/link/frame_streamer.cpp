#include "link/frame_streamer.h"
#include "link/frame_streamer_connection.h"

#include "link/inbound_line.h"
#include "link/message_framer.h"
#include "link/peer_description.h"
#include "runtime/utf8.h"

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/write.hpp>

#include <array>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <system_error>

namespace kestrio::link {

using asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr auto restartDelay = 1000ms;
constexpr auto readvertiseDelay = 1250ms;

// Keep-alive: first probe after 4 s idle, then every 2 s, given up after 3 unanswered probes.
constexpr int keepAliveIdleSeconds = 4;
constexpr int keepAliveIntervalSeconds = 2;
constexpr int keepAliveProbeCount = 3;

// Keep-alive probes are only sent while nothing is in flight, so a viewer that vanishes while
// frames are being sent (Wi-Fi off, out of range) would otherwise hold the connection for the
// many minutes of the kernel's retransmission give-up. With a user timeout the kernel ends the
// connection once sent data has gone unacknowledged for this long; the pending receive then
// fails with "Connection timed out" and the connection is dropped like any other. A viewer that
// merely stops reading still answers the zero-window probes and is kept while its window stays
// shut for less than this (a longer stall is given up too). The timeout also replaces the
// keep-alive probe count: an idle dead peer is given up at the first unanswered probe after
// this much silence (about 16 s) rather than at the third (10 s).
constexpr unsigned int userTimeoutMilliseconds = 15000;

// A write completes once the kernel has copied it, which on a link slower than the stream would
// let the socket's send buffer fill with seconds of frames, all of them older than the picture on
// the screen and all ahead of every "PONG". The socket is therefore reported writable only while
// less than this much of what we wrote has not been sent yet, and a message stays in flight until
// then (see sendCompleted): back-pressure sees what the network has really taken, and a slow
// link drops frames at the source.
constexpr int unsentLowWaterBytes = 8 * 1024;

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

// The peer's address as the user knows it: IPv4 peers on our dual-stack socket show as IPv4.
std::string addressText(const asio::ip::address& address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    return address.to_string();
}

void applyConnectionOptions(tcp::socket& socket)
{
    std::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    socket.set_option(asio::socket_base::keep_alive(true), ignored);
    const int handle = socket.native_handle();
    ::setsockopt(handle, IPPROTO_TCP, TCP_KEEPIDLE, &keepAliveIdleSeconds, sizeof keepAliveIdleSeconds);
    ::setsockopt(handle, IPPROTO_TCP, TCP_KEEPINTVL, &keepAliveIntervalSeconds, sizeof keepAliveIntervalSeconds);
    ::setsockopt(handle, IPPROTO_TCP, TCP_KEEPCNT, &keepAliveProbeCount, sizeof keepAliveProbeCount);
    ::setsockopt(handle, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMilliseconds, sizeof userTimeoutMilliseconds);
    ::setsockopt(handle, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsentLowWaterBytes, sizeof unsentLowWaterBytes);
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
    return std::shared_ptr<FrameStreamer>(new FrameStreamer(std::move(environment)));
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
            self->acceptConnection(std::make_shared<Connection>(std::move(socket)));
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
    queue_->post([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->refreshAdvertisementOnQueue();
    });
}

void FrameStreamer::refreshAdvertisementOnQueue()
{
    std::shared_ptr<Listener> taken;
    {
        std::lock_guard lock(lock_);
        if (!shouldRun_ || listenerReady_ || tcpConnected_ || protocolReady_)
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
            if (!self->shouldRun_ || self->listener_ || self->tcpConnected_ || self->protocolReady_)
                return;
        }
        self->startReportingFailure(PeerState::Kind::readvertiseFailed);
    });
}

void FrameStreamer::stop()
{
    std::shared_ptr<Listener> listener;
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard lock(lock_);
        listener = std::move(listener_);
        listener_.reset();
        shouldRun_ = false;
        listenerReady_ = false;
        connection = std::move(connection_);
        connection_.reset();
        connectionID_.reset();
        tcpConnected_ = false;
        protocolReady_ = false;
        h264Capable_ = false;
        sending_ = false;
        pendingFrame_.reset();
        pendingControls_.clear();
    }
    cancelConnection(std::move(connection));
    cancelListener(std::move(listener));
    onQueue([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->forgetOutsiders();
    });
}

// MARK: Connection

bool FrameStreamer::isCurrentLocked(const std::shared_ptr<Connection>& connection, ConnectionId id) const
{
    return connection_ == connection && connectionID_ == id;
}

void FrameStreamer::resetConnectionStateLocked()
{
    tcpConnected_ = false;
    protocolReady_ = false;
    h264Capable_ = false;
    keyFrameRequested_ = false;
    sending_ = false;
    pendingFrame_.reset();
    pendingControls_.clear();
}

void FrameStreamer::acceptConnection(std::shared_ptr<Connection> connection)
{
    std::error_code error;
    if (const auto remote = connection->socket.remote_endpoint(error); !error && isHeldOff(remote.address())) {
        cancelConnection(std::move(connection));
        return;
    }
    applyConnectionOptions(connection->socket);
    if (!fromHomeNetwork(connection)) {
        admitOutsider(std::move(connection));
        return;
    }
    const ConnectionId id = makeCurrent(connection, true);
    // An accepted socket is already established; it reports ready on its next turn of the queue.
    queue_->post([weak = weak_from_this(), connection, id] {
        if (auto self = weak.lock())
            self->connectionReady(connection, id);
    });
}

bool FrameStreamer::fromHomeNetwork(const std::shared_ptr<Connection>& connection) const
{
    std::error_code error;
    const tcp::endpoint remote = connection->socket.remote_endpoint(error);
    if (error)
        return false;
    if (environment_.isHomeNetworkPeer)
        return environment_.isHomeNetworkPeer(remote.address());
    return isHomeNetworkPeer(remote.address(), environment_.ownSubnets ? environment_.ownSubnets() : std::vector<Subnet>{});
}

FrameStreamer::ConnectionId FrameStreamer::makeCurrent(const std::shared_ptr<Connection>& connection, bool homeNetwork)
{
    const ConnectionId id = nextConnectionId_++;
    std::shared_ptr<Connection> old;
    {
        std::lock_guard lock(lock_);
        old = std::move(connection_);
        connection_ = connection;
        connectionID_ = id;
        resetConnectionStateLocked();
        peerOnHomeNetwork_ = homeNetwork;
    }
    controlBuffer_.clear();
    cancelConnection(std::move(old));
    return id;
}

void FrameStreamer::connectionReady(const std::shared_ptr<Connection>& connection, ConnectionId id, bool startReading)
{
    std::error_code error;
    const tcp::endpoint remote = connection->socket.remote_endpoint(error);
    std::optional<std::string> host;
    if (!error)
        host = addressText(remote.address());
    NetworkPath path;
    const tcp::endpoint local = connection->socket.local_endpoint(error);
    if (!error && environment_.pathResolver)
        path = environment_.pathResolver(addressText(local.address()));
    const std::string description = describePeer(host, path, environment_.thisComputer);
    {
        std::lock_guard lock(lock_);
        if (!isCurrentLocked(connection, id))
            return;
        tcpConnected_ = true;
        peer_ = {PeerState::Kind::connected, description};
    }
    fireStateChange();
    if (startReading)
        receive(connection, id);
}

void FrameStreamer::receive(const std::shared_ptr<Connection>& connection, ConnectionId id)
{
    connection->socket.async_read_some(
        asio::buffer(connection->receiveBuffer),
        [weak = weak_from_this(), connection, id](std::error_code error, std::size_t size) {
            auto self = weak.lock();
            if (!self)
                return;
            {
                std::lock_guard lock(self->lock_);
                if (!self->isCurrentLocked(connection, id))
                    return;
            }
            if (size > 0)
                self->ingest(connection, id, std::string_view(connection->receiveBuffer.data(), size));
            if (error == asio::error::eof)
                self->dropConnection(connection, id, "상대 기기가 연결을 종료함");
            else if (error == asio::error::operation_aborted)
                self->dropConnection(connection, id, "연결 종료");
            else if (error)
                self->dropConnection(connection, id, error.message());
            else {
                {
                    std::lock_guard lock(self->lock_);
                    if (!self->isCurrentLocked(connection, id))
                        return;
                }
                self->receive(connection, id);
            }
        });
}

void FrameStreamer::ingest(const std::shared_ptr<Connection>& connection, ConnectionId id, std::string_view bytes)
{
    const bool kept = controlBuffer_.ingest(bytes, [&](std::string_view line) {
        if (runtime::isValidUtf8(line))
            handleLine(line, connection, id);
        std::lock_guard lock(lock_);
        return isCurrentLocked(connection, id);
    });
    if (!kept)
        dropConnection(connection, id, "제어 데이터가 너무 큼");
}

void FrameStreamer::handleLine(std::string_view line, const std::shared_ptr<Connection>& connection, ConnectionId id)
{
    const InboundLine parsed = parseInboundLine(line);
    if (const auto* handshake = std::get_if<Handshake>(&parsed)) {
        bool homeNetwork;
        {
            std::lock_guard lock(lock_);
            if (!isCurrentLocked(connection, id))
                return;
            protocolReady_ = true;
            h264Capable_ = handshake->h264;
            keyFrameRequested_ = handshake->h264;
            homeNetwork = peerOnHomeNetwork_;
        }
        if (onViewerIdentity)
            onViewerIdentity({handshake->name, handshake->identifier, handshake->identifierGiven, homeNetwork});
        fireStateChange();
        sendWelcome();
        requestFrame();
    } else if (const auto* ping = std::get_if<Ping>(&parsed)) {
        sendControl("PONG " + ping->token);
    } else if (std::holds_alternative<KeyFrameRequest>(parsed)) {
        {
            std::lock_guard lock(lock_);
            if (!isCurrentLocked(connection, id))
                return;
            keyFrameRequested_ = true;
        }
        requestFrame();
    } else if (const auto* event = std::get_if<ViewerControlEvent>(&parsed)) {
        {
            std::lock_guard lock(lock_);
            if (!isCurrentLocked(connection, id) || !tcpConnected_)
                return;
        }
        if (onControlEvent)
            onControlEvent(*event);
    }
}

void FrameStreamer::dropConnection(const std::shared_ptr<Connection>& connection, ConnectionId id, const std::string& reason)
{
    {
        std::lock_guard lock(lock_);
        if (!isCurrentLocked(connection, id))
            return;
        connection_.reset();
        connectionID_.reset();
        resetConnectionStateLocked();
        peer_ = {PeerState::Kind::dropped, reason};
    }
    controlBuffer_.clear();
    cancelConnection(connection);
    fireStateChange();
}

std::uint64_t FrameStreamer::connectionGeneration() const
{
    std::lock_guard lock(lock_);
    return connectionID_.value_or(0);
}

void FrameStreamer::dropConnectionIfCurrent(std::uint64_t generation, std::string reason, runtime::Duration holdOff)
{
    // Always a task of its own: called from onControlEvent, it must not end the connection while
    // the line that led to it is being handled.
    queue_->post([weak = weak_from_this(), generation, reason = std::move(reason), holdOff] {
        auto self = weak.lock();
        if (!self)
            return;
        std::shared_ptr<Connection> connection;
        {
            std::lock_guard lock(self->lock_);
            if (self->connectionID_ != generation)
                return;
            connection = self->connection_;
        }
        std::error_code error;
        const auto remote = connection->socket.remote_endpoint(error);
        if (!error && holdOff > runtime::Duration::zero())
            self->holdOff(remote.address(), holdOff);
        self->dropConnection(connection, generation, reason);
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

void FrameStreamer::cancelConnection(std::shared_ptr<Connection> connection)
{
    if (!connection)
        return;
    onQueue([connection] {
        std::error_code ignored;
        connection->socket.close(ignored);
    });
}

// MARK: Sending

void FrameStreamer::send(Payload payload, bool isFrame)
{
    std::shared_ptr<Connection> connection;
    ConnectionId id = 0;
    {
        std::lock_guard lock(lock_);
        if (!tcpConnected_ || !protocolReady_ || !connection_ || !connectionID_)
            return;
        if (!sending_) {
            sending_ = true;
            connection = connection_;
            id = *connectionID_;
        } else if (isFrame) {
            pendingFrame_ = std::move(payload);
            return;
        } else {
            if (pendingControls_.size() < maxPendingControls)
                pendingControls_.push_back(std::move(payload));
            return;
        }
    }
    transmit(std::move(connection), id, std::move(payload));
}

void FrameStreamer::sendControl(std::string_view text)
{
    send(makeControlPayload(text), false);
}

void FrameStreamer::sendWelcome()
{
    bool h264;
    {
        std::lock_guard lock(lock_);
        if (!tcpConnected_ || !protocolReady_)
            return;
        h264 = h264Capable_;
    }
    const std::string host = environment_.hostName ? environment_.hostName() : std::string();
    sendControl(makeWelcomeText(h264, host, environment_.version, environment_.build));
}

void FrameStreamer::transmit(std::shared_ptr<Connection> connection, ConnectionId id, Payload payload)
{
    struct Message {
        std::array<std::uint8_t, 4> header;
        Payload payload;
    };
    // The length header travels with the payload in one gathered write; the payload itself is
    // never copied.
    auto message = std::make_shared<Message>(Message{lengthPrefix(static_cast<std::uint32_t>(payload.size())), std::move(payload)});
    onQueue([weak = weak_from_this(), connection = std::move(connection), id, message] {
        const std::array<asio::const_buffer, 2> buffers{asio::buffer(message->header), asio::buffer(message->payload)};
        asio::async_write(connection->socket, buffers,
                          [weak, connection, id, message](std::error_code error, std::size_t) {
                              if (auto self = weak.lock())
                                  self->sendCompleted(connection, id, error);
                          });
    });
}

void FrameStreamer::sendCompleted(const std::shared_ptr<Connection>& connection, ConnectionId id, const std::error_code& error)
{
    if (error) {
        dropConnection(connection, id, error.message());
        return;
    }
    // The message is in the kernel, not necessarily on its way: it stays in flight until the
    // socket's unsent bytes are below the low-water mark.
    connection->socket.async_wait(asio::socket_base::wait_write,
                                  [weak = weak_from_this(), connection, id](std::error_code waitError) {
                                      if (auto self = weak.lock())
                                          self->sendDrained(connection, id, waitError);
                                  });
}

void FrameStreamer::sendDrained(const std::shared_ptr<Connection>& connection, ConnectionId id, const std::error_code& error)
{
    if (error) {
        dropConnection(connection, id, error.message());
        return;
    }
    Payload next;
    {
        std::lock_guard lock(lock_);
        if (!isCurrentLocked(connection, id))
            return;
        if (!pendingControls_.empty()) {
            next = std::move(pendingControls_.front());
            pendingControls_.pop_front();
        } else if (pendingFrame_) {
            next = std::move(*pendingFrame_);
            pendingFrame_.reset();
        } else {
            sending_ = false;
            return;
        }
    }
    transmit(connection, id, std::move(next));
}

// MARK: Queries

bool FrameStreamer::isViewerConnected() const
{
    std::lock_guard lock(lock_);
    return tcpConnected_ && protocolReady_;
}

bool FrameStreamer::h264Capable() const
{
    std::lock_guard lock(lock_);
    return h264Capable_;
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
    std::lock_guard lock(lock_);
    return connection_ && peerOnHomeNetwork_;
}

bool FrameStreamer::canAcceptFrame() const
{
    std::lock_guard lock(lock_);
    if (!tcpConnected_ || !protocolReady_)
        return false;
    return h264Capable_ ? !pendingFrame_.has_value() : !sending_;
}

int FrameStreamer::framesQueued() const
{
    std::lock_guard lock(lock_);
    return (sending_ ? 1 : 0) + (pendingFrame_ ? 1 : 0);
}

bool FrameStreamer::consumeKeyFrameRequest()
{
    std::lock_guard lock(lock_);
    return std::exchange(keyFrameRequested_, false);
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
