#pragma once

#include "link/inbound_line.h"
#include "link/line_assembler.h"
#include "link/viewer_control_event.h"

#include <asio/ip/tcp.hpp>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::link {

// One viewer's connection: its socket, the lines it sends, what waits to be sent to it and what
// it has said about itself. Kept alive by its own pending reads and writes; once closed, whether
// by the streamer (replaced, dropped, stopped) or by itself (the viewer went), whatever is still
// pending ends quietly and touches nothing outside it.
//
// Network work runs on the queue the socket belongs to. send(), close() and the queries may be
// called from any thread.
class ViewerSession final : public std::enable_shared_from_this<ViewerSession> {
public:
    using Payload = std::vector<std::uint8_t>;

    static constexpr std::size_t maxPendingControls = 8;
    static constexpr std::size_t receiveSize = 16384;

    // What a session tells the one that serves it; called on the queue, never under a lock.
    class Owner {
    public:
        virtual void sessionHandshaken(const std::shared_ptr<ViewerSession>& session, const Handshake& handshake) = 0;
        virtual void sessionWantsFrame() = 0;
        virtual void sessionControlEvent(const ViewerControlEvent& event) = 0;
        // The session is closing itself: the viewer went, failed or sent too much. Told before the
        // session shuts, at most once.
        virtual void sessionEnded(const std::shared_ptr<ViewerSession>& session, const std::string& reason) = 0;

    protected:
        ~Owner() = default;
    };

    // Applies the connection's socket options. `homeNetwork`: whether the peer is on the home
    // network.
    ViewerSession(asio::ip::tcp::socket socket, std::weak_ptr<Owner> owner, bool homeNetwork);

    ViewerSession(const ViewerSession&) = delete;
    ViewerSession& operator=(const ViewerSession&) = delete;

    // Queue only. ----------------------------------------------------------------------------
    std::optional<asio::ip::tcp::endpoint> remoteEndpoint() const;
    std::optional<asio::ip::tcp::endpoint> localEndpoint() const;
    // Marks the connection established (the streamer has made it its current one); false once
    // it is closed.
    bool markConnected();
    // Reads and handles the viewer's lines until the connection ends.
    void receive();
    // Reads lines for a handshake alone, dropping everything before it unheard, and calls `done`
    // with the handshake line once one arrives; with nothing when the connection failed before
    // or sent too much. Not called at all once the session is closed.
    void awaitHandshake(std::function<void(std::optional<std::string> handshakeLine)> done);
    // Serves a connection whose handshake awaitHandshake() found: the handshake, the lines that
    // came with it, then everything else as from any viewer.
    void resumeAfterHandshake(std::string_view handshakeLine);

    // Any thread. -----------------------------------------------------------------------------
    // The number the streamer gave the connection when it made it current; 0 before.
    std::uint64_t number() const { return number_; }
    void setNumber(std::uint64_t number) { number_ = number; }
    bool homeNetwork() const { return homeNetwork_; }

    // Sends a payload with at most one message in flight, one frame and maxPendingControls
    // control messages waiting; anything else, or anything before the handshake or after the
    // close, is dropped.
    void send(Payload payload, bool isFrame);
    void sendControl(std::string_view text);
    // Ends the connection without a word to the owner. Closing twice does nothing.
    void close();

    bool tcpConnected() const;
    // Connected and handshaken.
    bool isViewerConnected() const;
    bool h264Capable() const;
    bool canAcceptFrame() const;
    int framesQueued() const;
    bool consumeKeyFrameRequest();

private:
    void ingest(std::string_view bytes);
    void handleLine(std::string_view line);
    // Closes the session; true when this call closed it.
    bool shut();
    // Closes the session and tells the owner, unless it was already closed.
    void fail(const std::string& reason);
    void transmit(Payload payload);
    void sendCompleted(const std::error_code& error);
    void sendDrained(const std::error_code& error);
    bool closed() const;
    std::shared_ptr<Owner> owner() const { return owner_.lock(); }

    asio::ip::tcp::socket socket_;  // queue only
    std::array<char, receiveSize> receiveBuffer_{};
    LineAssembler lines_;  // queue only
    const std::weak_ptr<Owner> owner_;
    const bool homeNetwork_;
    std::uint64_t number_ = 0;

    mutable std::mutex lock_;
    bool closed_ = false;
    bool tcpConnected_ = false;
    bool protocolReady_ = false;
    bool h264Capable_ = false;
    bool keyFrameRequested_ = false;
    bool sending_ = false;
    std::optional<Payload> pendingFrame_;
    std::deque<Payload> pendingControls_;
};

}  // namespace kestrio::link
