#pragma once

#include "link/frame_streamer.h"
#include "link/message_reader.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace kestrio::test {

// Polls `condition` until it holds or `timeout` passes; for waiting on real sockets and
// threads, never for asserting on durations.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// A listening streamer on a free loopback port, driven by a virtual clock.
std::shared_ptr<link::FrameStreamer> startLoopbackStreamer();

// A blocking viewer on a real loopback TCP connection.
class LoopbackViewer {
public:
    explicit LoopbackViewer(std::uint16_t port);
    ~LoopbackViewer();

    LoopbackViewer(const LoopbackViewer&) = delete;
    LoopbackViewer& operator=(const LoopbackViewer&) = delete;

    bool connected() const { return fd_ >= 0; }
    void sendLine(std::string_view line);
    // The next message from the host, or nothing when none arrives in time.
    std::optional<link::HostMessage> readMessage(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

private:
    int fd_ = -1;
    link::MessageReader reader_;
};

}  // namespace kestrio::test
