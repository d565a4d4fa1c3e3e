#pragma once

#include "link/message_reader.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrio::test {

using namespace std::chrono_literals;

// Polls `condition` until it holds or `timeout` passes. For waiting on real sockets and
// threads, never for asserting on durations.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5000ms);

// A blocking viewer on a real TCP socket, for driving the streamer from the outside.
class ViewerClient {
public:
    struct Options {
        std::string host = "127.0.0.1";
        std::string sourceAddress{};  // the local address to connect from; empty: the system's choice
        int receiveBufferBytes = 0;  // 0: the system's default
    };

    ViewerClient(std::uint16_t port, Options options);
    explicit ViewerClient(std::uint16_t port) : ViewerClient(port, Options{}) {}
    ~ViewerClient();

    ViewerClient(const ViewerClient&) = delete;
    ViewerClient& operator=(const ViewerClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    void sendRaw(std::string_view bytes);
    void sendLine(std::string_view line) { sendRaw(std::string(line) + "\n"); }

    // The next message from the host, or nothing when none arrives in time or the host closed.
    std::optional<link::HostMessage> readMessage(std::chrono::milliseconds timeout = 5000ms);
    // The next control message's text, skipping frames.
    std::optional<std::string> readControlText(std::chrono::milliseconds timeout = 5000ms);
    // True once the host has closed the connection (end of stream or reset) within the timeout.
    bool waitForClose(std::chrono::milliseconds timeout = 5000ms);
    // True when no message arrives within `window` (used only to confirm an expected silence
    // after a positive check has shown the channel works).
    bool quietFor(std::chrono::milliseconds window = 200ms);
    // Aborts the connection with a reset.
    void reset();
    void close();

private:
    bool fill(std::chrono::milliseconds timeout);

    int fd_ = -1;
    bool peerClosed_ = false;
    link::MessageReader reader_;
};

}  // namespace kestrio::test
