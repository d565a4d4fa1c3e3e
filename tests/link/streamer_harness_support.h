#pragma once

#include "link/frame_streamer.h"
#include "link/message_reader.h"
#include "runtime/virtual_clock.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::test {

using namespace std::chrono_literals;

// Polls `condition` until it holds or `timeout` passes: for waiting on real sockets and threads.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5000ms);

struct ViewerOptions {
    std::string host = "127.0.0.1";
    std::string sourceAddress{};  // empty: the system's choice
    int receiveBufferBytes = 0;   // 0: the system's default
};

// A blocking viewer on a real TCP socket.
class ViewerClient {
public:
    explicit ViewerClient(std::uint16_t port, ViewerOptions options = {});
    ~ViewerClient() { close(); }

    bool connected() const { return fd_ >= 0; }
    void sendRaw(std::string_view bytes);
    void sendLine(std::string_view line) { sendRaw(std::string(line) + "\n"); }
    // The next message, or nothing when none arrives in time or the host closed.
    std::optional<link::HostMessage> readMessage(std::chrono::milliseconds timeout = 5000ms);
    // The next control message's text, skipping frames.
    std::optional<std::string> readControlText(std::chrono::milliseconds timeout = 5000ms);
    bool waitForClose(std::chrono::milliseconds timeout = 5000ms);
    void reset();  // with an RST
    void close();

private:
    bool fill(std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    bool peerClosed_ = false;
    link::MessageReader reader_;
};

inline constexpr const char* testHostName = "스튜디오 Host";

// A streamer on a free loopback port with a virtual clock and recorded advertisements and callbacks.
struct StreamerHarness final : link::ServiceAdvertiser {
    explicit StreamerHarness(const std::function<void(link::FrameStreamer::Environment&)>& configure = {});
    ~StreamerHarness() override;
    std::unique_ptr<link::ServiceRegistration> advertise(const link::ServiceAdvertisement& advertisement) override;

    std::uint16_t port() const { return streamer->listeningPort(); }
    void settle() const { streamer->queue()->sync(); }
    void advance(runtime::Duration step) const
    {
        clock->advance(step);
        settle();
    }

    std::shared_ptr<runtime::VirtualClock> clock = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<link::FrameStreamer> streamer;
    std::atomic<int> stateChanges{0};
    std::atomic<int> liveRegistrations{0};
    // Copies of what was recorded so far: the queue may record more while a test reads.
    std::vector<link::ServiceAdvertisement> advertised() const { return std::lock_guard(recordLock_), advertised_; }
    std::vector<link::ViewerControlEvent> events() const { return std::lock_guard(recordLock_), events_; }
    std::vector<link::ViewerIdentity> identities() const { return std::lock_guard(recordLock_), identities_; }

private:
    mutable std::mutex recordLock_;
    std::vector<link::ServiceAdvertisement> advertised_;
    std::vector<link::ViewerControlEvent> events_;
    std::vector<link::ViewerIdentity> identities_;
};

// A viewer that connected and completed a handshake; its "WELCOME" has been read.
std::unique_ptr<ViewerClient> connectHandshaken(StreamerHarness& harness, const std::string& handshake = "HELLO 2 H264",
                                                ViewerOptions options = {});

}  // namespace kestrio::test
