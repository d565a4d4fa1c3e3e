#include "link/viewer_session.h"

#include "link/message_framer.h"
#include "runtime/utf8.h"

#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>

namespace kestrio::link {

using asio::ip::tcp;

namespace {

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

ViewerSession::ViewerSession(tcp::socket socket, std::weak_ptr<Owner> owner, bool homeNetwork)
    : socket_(std::move(socket)), owner_(std::move(owner)), homeNetwork_(homeNetwork)
{
    applyConnectionOptions(socket_);
}

std::optional<tcp::endpoint> ViewerSession::remoteEndpoint() const
{
    std::error_code error;
    const auto endpoint = socket_.remote_endpoint(error);
    return error ? std::nullopt : std::optional(endpoint);
}

std::optional<tcp::endpoint> ViewerSession::localEndpoint() const
{
    std::error_code error;
    const auto endpoint = socket_.local_endpoint(error);
    return error ? std::nullopt : std::optional(endpoint);
}

bool ViewerSession::closed() const
{
    std::lock_guard lock(lock_);
    return closed_;
}

bool ViewerSession::markConnected()
{
    std::lock_guard lock(lock_);
    if (closed_)
        return false;
    tcpConnected_ = true;
    return true;
}

void ViewerSession::close()
{
    shut();
}

bool ViewerSession::shut()
{
    {
        std::lock_guard lock(lock_);
        if (closed_)
            return false;
        closed_ = true;
        tcpConnected_ = false;
        protocolReady_ = false;
        h264Capable_ = false;
        keyFrameRequested_ = false;
        sending_ = false;
        pendingFrame_.reset();
        pendingControls_.clear();
    }
    // Sockets are only ever touched on the queue.
    asio::dispatch(socket_.get_executor(), [self = shared_from_this()] {
        std::error_code ignored;
        self->socket_.close(ignored);
    });
    return true;
}

void ViewerSession::fail(const std::string& reason)
{
    if (closed())
        return;
    // The owner hears of it first, so that nobody sees this session shut while the owner still
    // names it as the connected viewer; the owner closes its current session itself.
    if (auto owner = this->owner())
        owner->sessionEnded(shared_from_this(), reason);
    shut();
}

// MARK: Receiving

void ViewerSession::receive()
{
    socket_.async_read_some(asio::buffer(receiveBuffer_), [self = shared_from_this()](std::error_code error, std::size_t size) {
        if (self->closed())
            return;
        if (size > 0)
            self->ingest(std::string_view(self->receiveBuffer_.data(), size));
        if (error == asio::error::eof)
            self->fail("상대 기기가 연결을 종료함");
        else if (error == asio::error::operation_aborted)
            self->fail("연결 종료");
        else if (error)
            self->fail(error.message());
        else if (!self->closed())
            self->receive();
    });
}

void ViewerSession::ingest(std::string_view bytes)
{
    const bool kept = lines_.ingest(bytes, [this](std::string_view line) {
        if (runtime::isValidUtf8(line))
            handleLine(line);
        return !closed();
    });
    if (!kept)
        fail("제어 데이터가 너무 큼");
}

void ViewerSession::handleLine(std::string_view line)
{
    const InboundLine parsed = parseInboundLine(line);
    if (const auto* handshake = std::get_if<Handshake>(&parsed)) {
        {
            std::lock_guard lock(lock_);
            if (closed_)
                return;
            protocolReady_ = true;
            h264Capable_ = handshake->h264;
            keyFrameRequested_ = handshake->h264;
        }
        if (auto owner = this->owner())
            owner->sessionHandshaken(shared_from_this(), *handshake);
    } else if (const auto* ping = std::get_if<Ping>(&parsed)) {
        sendControl("PONG " + ping->token);
    } else if (std::holds_alternative<KeyFrameRequest>(parsed)) {
        {
            std::lock_guard lock(lock_);
            if (closed_)
                return;
            keyFrameRequested_ = true;
        }
        if (auto owner = this->owner())
            owner->sessionWantsFrame();
    } else if (const auto* event = std::get_if<ViewerControlEvent>(&parsed)) {
        {
            std::lock_guard lock(lock_);
            if (closed_ || !tcpConnected_)
                return;
        }
        if (auto owner = this->owner())
            owner->sessionControlEvent(*event);
    }
}

void ViewerSession::awaitHandshake(std::function<void(std::optional<std::string>)> done)
{
    socket_.async_read_some(asio::buffer(receiveBuffer_), [self = shared_from_this(), done = std::move(done)](std::error_code error,
                                                                                                        std::size_t size) {
        if (self->closed())
            return;
        std::optional<std::string> handshakeLine;
        const bool kept = self->lines_.ingest(std::string_view(self->receiveBuffer_.data(), size), [&](std::string_view line) {
            // Nothing but the handshake means anything yet; the rest waits in the buffer.
            if (runtime::isValidUtf8(line) && std::holds_alternative<Handshake>(parseInboundLine(line))) {
                handshakeLine = std::string(line);
                return false;
            }
            return true;
        });
        if (!kept || (error && !handshakeLine))
            done(std::nullopt);
        else if (handshakeLine)
            done(std::move(handshakeLine));
        else
            self->awaitHandshake(std::move(done));
    });
}

void ViewerSession::resumeAfterHandshake(std::string_view handshakeLine)
{
    handleLine(handshakeLine);
    ingest({});
    if (!closed())
        receive();
}

// MARK: Sending

void ViewerSession::send(Payload payload, bool isFrame)
{
    {
        std::lock_guard lock(lock_);
        if (closed_ || !tcpConnected_ || !protocolReady_)
            return;
        if (sending_) {
            if (isFrame)
                pendingFrame_ = std::move(payload);
            else if (pendingControls_.size() < maxPendingControls)
                pendingControls_.push_back(std::move(payload));
            return;
        }
        sending_ = true;
    }
    transmit(std::move(payload));
}

void ViewerSession::sendControl(std::string_view text)
{
    send(makeControlPayload(text), false);
}

void ViewerSession::transmit(Payload payload)
{
    struct Message {
        std::array<std::uint8_t, 4> header;
        Payload payload;
    };
    // The length header travels with the payload in one gathered write; the payload itself is
    // never copied.
    auto message = std::make_shared<Message>(Message{lengthPrefix(static_cast<std::uint32_t>(payload.size())), std::move(payload)});
    asio::dispatch(socket_.get_executor(), [self = shared_from_this(), message] {
        const std::array<asio::const_buffer, 2> buffers{asio::buffer(message->header), asio::buffer(message->payload)};
        asio::async_write(self->socket_, buffers,
                          [self, message](std::error_code error, std::size_t) { self->sendCompleted(error); });
    });
}

void ViewerSession::sendCompleted(const std::error_code& error)
{
    if (error) {
        fail(error.message());
        return;
    }
    // The message is in the kernel, not necessarily on its way: it stays in flight until the
    // socket's unsent bytes are below the low-water mark.
    socket_.async_wait(asio::socket_base::wait_write,
                       [self = shared_from_this()](std::error_code waitError) { self->sendDrained(waitError); });
}

void ViewerSession::sendDrained(const std::error_code& error)
{
    if (error) {
        fail(error.message());
        return;
    }
    Payload next;
    {
        std::lock_guard lock(lock_);
        if (closed_)
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
    transmit(std::move(next));
}

// MARK: Queries

bool ViewerSession::tcpConnected() const
{
    std::lock_guard lock(lock_);
    return tcpConnected_;
}

bool ViewerSession::isViewerConnected() const
{
    std::lock_guard lock(lock_);
    return tcpConnected_ && protocolReady_;
}

bool ViewerSession::h264Capable() const
{
    std::lock_guard lock(lock_);
    return h264Capable_;
}

bool ViewerSession::canAcceptFrame() const
{
    std::lock_guard lock(lock_);
    if (!tcpConnected_ || !protocolReady_)
        return false;
    return h264Capable_ ? !pendingFrame_.has_value() : !sending_;
}

int ViewerSession::framesQueued() const
{
    std::lock_guard lock(lock_);
    return (sending_ ? 1 : 0) + (pendingFrame_ ? 1 : 0);
}

bool ViewerSession::consumeKeyFrameRequest()
{
    std::lock_guard lock(lock_);
    return std::exchange(keyFrameRequested_, false);
}

}  // namespace kestrio::link
