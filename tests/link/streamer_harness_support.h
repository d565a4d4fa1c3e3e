#pragma once

#include "link/frame_streamer.h"
#include "link/viewer_client_support.h"
#include "runtime/virtual_clock.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kestrio::test {

// Keeps what the streamer would have published, so that tests can check names and ports
// without a daemon (the real advertiser is tested against avahi-daemon on its own).
class RecordingAdvertiser final : public link::ServiceAdvertiser {
public:
    std::unique_ptr<link::ServiceRegistration> advertise(const link::ServiceAdvertisement& advertisement) override;
    std::vector<link::ServiceAdvertisement> advertised() const;
    int liveRegistrations() const { return live_->load(); }

private:
    mutable std::mutex mutex_;
    std::vector<link::ServiceAdvertisement> advertised_;
    std::shared_ptr<std::atomic<int>> live_ = std::make_shared<std::atomic<int>>(0);
};

inline constexpr const char* testHostName = "스튜디오 Host";

// A streamer on a free loopback port with a virtual clock and recorded callbacks.
struct StreamerHarness {
    explicit StreamerHarness(std::uint16_t port = 0);
    // `configure` adjusts the environment before the streamer is made.
    explicit StreamerHarness(const std::function<void(link::FrameStreamer::Environment&)>& configure);
    ~StreamerHarness();

    std::uint16_t port() const { return streamer->listeningPort(); }
    // Runs everything already posted to the streamer's queue.
    void settle() const { streamer->queue()->sync(); }
    // Moves virtual time and lets the queue run what fell due.
    void advance(runtime::Duration step) const;

    std::vector<link::ViewerControlEvent> events() const;
    std::vector<link::ViewerIdentity> viewerIdentities() const;

    std::shared_ptr<runtime::VirtualClock> clock = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<RecordingAdvertiser> advertiser = std::make_shared<RecordingAdvertiser>();
    std::shared_ptr<link::FrameStreamer> streamer;
    std::atomic<int> stateChanges{0};

private:
    mutable std::mutex mutex_;
    std::vector<link::ViewerControlEvent> events_;
    std::vector<link::ViewerIdentity> identities_;
};

// A viewer that connected, was seen by the streamer and completed a handshake; the "WELCOME"
// has been read.
std::unique_ptr<ViewerClient> connectHandshaken(StreamerHarness& harness, const std::string& handshake = "HELLO 2 H264",
                                                ViewerClient::Options options = {});

}  // namespace kestrio::test
