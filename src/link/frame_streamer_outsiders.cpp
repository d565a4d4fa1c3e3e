// Connections from outside the home network: read for their handshake alone, judged one at a
// time against the trusted phones, and served only when trusted.
#include "link/frame_streamer.h"
#include "link/frame_streamer_connection.h"
#include "link/inbound_line.h"
#include "link/utf8.h"

#include <algorithm>

namespace kestrio::link {

struct FrameStreamer::Outsider {
    std::shared_ptr<Connection> connection;
    LineAssembler buffer;
    std::optional<Handshake> handshake;
    std::string handshakeLine;
    runtime::TimerHandle timeout;
};

void FrameStreamer::admitOutsider(std::shared_ptr<Connection> connection)
{
    if (outsiders_.size() >= maxWaitingOutsiders) {
        cancelConnection(std::move(connection));
        return;
    }
    auto outsider = std::make_shared<Outsider>();
    outsider->connection = std::move(connection);
    outsider->timeout = environment_.clock->schedule(outsiderHandshakeTimeout, queue_, [weak = weak_from_this(), held = std::weak_ptr(outsider)] {
        auto self = weak.lock();
        auto outsider = held.lock();
        if (self && outsider && !outsider->handshake)
            self->forgetOutsider(outsider);
    });
    outsiders_.push_back(outsider);
    readOutsider(outsider);
}

void FrameStreamer::readOutsider(const std::shared_ptr<Outsider>& outsider)
{
    auto& connection = *outsider->connection;
    connection.socket.async_read_some(asio::buffer(connection.receiveBuffer), [weak = weak_from_this(), outsider](std::error_code error,
                                                                                                             std::size_t size) {
        auto self = weak.lock();
        if (!self || std::find(self->outsiders_.begin(), self->outsiders_.end(), outsider) == self->outsiders_.end())
            return;
        const std::string_view bytes(outsider->connection->receiveBuffer.data(), size);
        const bool kept = outsider->buffer.ingest(bytes, [&](std::string_view line) {
            if (!isValidUtf8(line))
                return true;
            // Nothing but the handshake means anything yet; the rest waits in the buffer.
            const InboundLine parsed = parseInboundLine(line);
            if (const auto* handshake = std::get_if<Handshake>(&parsed)) {
                outsider->handshake = *handshake;
                outsider->handshakeLine = std::string(line);
                return false;
            }
            return true;
        });
        if (!kept || (error && !outsider->handshake)) {
            self->forgetOutsider(outsider);
            return;
        }
        if (outsider->handshake) {
            outsider->timeout.cancel();
            self->judgeOutsiders();
        } else {
            self->readOutsider(outsider);
        }
    });
}

void FrameStreamer::judgeOutsiders()
{
    while (true) {
        const auto next = std::find_if(outsiders_.begin(), outsiders_.end(), [](const auto& outsider) { return outsider->handshake.has_value(); });
        if (next == outsiders_.end())
            return;
        const auto now = environment_.clock->now();
        if (now < judgeNotBefore_) {
            if (!std::exchange(judgeScheduled_, true)) {
                environment_.clock->schedule(judgeNotBefore_ - now, queue_, [weak = weak_from_this()] {
                    if (auto self = weak.lock()) {
                        self->judgeScheduled_ = false;
                        self->judgeOutsiders();
                    }
                });
            }
            return;
        }
        const auto outsider = *next;
        const auto& handshake = *outsider->handshake;
        const bool trusted =
            handshake.identifierGiven && environment_.trustedPhones && environment_.trustedPhones->contains(handshake.identifier);
        if (trusted) {
            refusals_ = 0;
            promoteOutsider(outsider);
            continue;
        }
        ++refusals_;
        const auto penalty = std::min<runtime::Duration>(firstRefusalPenalty * (1LL << std::min(refusals_ - 1, 16)), longestRefusalPenalty);
        judgeNotBefore_ = now + penalty;
        forgetOutsider(outsider);
        if (onOutsiderRefused)
            onOutsiderRefused();
    }
}

void FrameStreamer::promoteOutsider(const std::shared_ptr<Outsider>& outsider)
{
    std::erase(outsiders_, outsider);
    const auto connection = outsider->connection;
    const ConnectionId id = makeCurrent(connection, false);
    controlBuffer_ = std::move(outsider->buffer);
    connectionReady(connection, id, false);
    handleLine(outsider->handshakeLine, connection, id);
    // Lines that came with the handshake, then the rest as from any viewer.
    ingest(connection, id, {});
    {
        std::lock_guard lock(lock_);
        if (!isCurrentLocked(connection, id))
            return;
    }
    receive(connection, id);
}

void FrameStreamer::forgetOutsider(const std::shared_ptr<Outsider>& outsider)
{
    outsider->timeout.cancel();
    std::erase(outsiders_, outsider);
    cancelConnection(outsider->connection);
}

void FrameStreamer::forgetOutsiders()
{
    for (const auto& outsider : std::exchange(outsiders_, {})) {
        outsider->timeout.cancel();
        cancelConnection(outsider->connection);
    }
}

}  // namespace kestrio::link
