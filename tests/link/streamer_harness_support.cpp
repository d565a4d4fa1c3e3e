#include "link/streamer_harness_support.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

class RecordedRegistration final : public link::ServiceRegistration {
public:
    RecordedRegistration(std::string name, std::shared_ptr<std::atomic<int>> live) : name_(std::move(name)), live_(std::move(live))
    {
        ++*live_;
    }
    ~RecordedRegistration() override { --*live_; }
    State state() const override { return State::established; }
    std::string publishedName() const override { return name_; }

private:
    std::string name_;
    std::shared_ptr<std::atomic<int>> live_;
};

}  // namespace

std::unique_ptr<link::ServiceRegistration> RecordingAdvertiser::advertise(const link::ServiceAdvertisement& advertisement)
{
    std::lock_guard lock(mutex_);
    advertised_.push_back(advertisement);
    return std::make_unique<RecordedRegistration>(advertisement.instanceName, live_);
}

std::vector<link::ServiceAdvertisement> RecordingAdvertiser::advertised() const
{
    std::lock_guard lock(mutex_);
    return advertised_;
}

StreamerHarness::StreamerHarness(std::uint16_t port) : StreamerHarness([port](link::FrameStreamer::Environment& environment) {
    environment.port = port;
})
{
}

StreamerHarness::StreamerHarness(const std::function<void(link::FrameStreamer::Environment&)>& configure)
{
    link::FrameStreamer::Environment environment;
    environment.clock = clock;
    environment.advertiser = advertiser;
    environment.hostName = [] { return std::string(testHostName); };
    environment.pathResolver = [](const std::string& address) -> link::NetworkPath {
        if (address == "127.0.0.1" || address == "::1")
            return link::InterfaceType::loopback;
        return std::nullopt;
    };
    environment.version = "1.2.3";
    environment.build = "45";
    environment.port = 0;
    configure(environment);
    streamer = link::FrameStreamer::create(std::move(environment));
    streamer->onStateChange = [this] { ++stateChanges; };
    streamer->onControlEvent = [this](const link::ViewerControlEvent& event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    };
    streamer->onViewerIdentity = [this](const link::ViewerIdentity& identity) {
        std::lock_guard lock(mutex_);
        identities_.push_back(identity);
    };
}

StreamerHarness::~StreamerHarness()
{
    streamer->stop();
    streamer->queue()->sync();
    streamer.reset();
}

void StreamerHarness::advance(runtime::Duration step) const
{
    clock->advance(step);
    settle();
}

std::vector<link::ViewerControlEvent> StreamerHarness::events() const
{
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<link::ViewerIdentity> StreamerHarness::viewerIdentities() const
{
    std::lock_guard lock(mutex_);
    return identities_;
}

std::unique_ptr<ViewerClient> connectHandshaken(StreamerHarness& harness, const std::string& handshake, ViewerClient::Options options)
{
    auto viewer = std::make_unique<ViewerClient>(harness.port(), options);
    EXPECT_TRUE(viewer->connected());
    viewer->sendLine(handshake);
    auto welcome = viewer->readControlText();
    EXPECT_TRUE(welcome && welcome->rfind("WELCOME 2 ", 0) == 0) << welcome.value_or("<nothing>");
    EXPECT_TRUE(waitUntil([&] { return harness.streamer->isViewerConnected(); }));
    // The handshake's state change is reported after the flags are set: let it finish.
    harness.settle();
    return viewer;
}

}  // namespace kestrio::test
