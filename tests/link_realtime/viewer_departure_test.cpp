// A viewer that vanishes from the network ends its session within seconds, whether frames were
// being sent or the link was idle; a viewer that only stops reading for a while is kept. Real
// time and real sockets: the phone sits in a network namespace of its own and vanishes by
// having every packet dropped there.

#include "link/message_framer.h"
#include "link/streamer_harness_support.h"
#include "link_realtime/phone_network_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace kestrio::test {
namespace {

using link::FrameStreamer;
using Clock = std::chrono::steady_clock;

FrameStreamer::Payload videoFrame(std::size_t size)
{
    FrameStreamer::Payload payload(size, 0x5a);
    payload[0] = link::videoPacketType;
    payload[1] = 0;
    return payload;
}

// Hands the streamer a frame every 16 ms, as a capture of a changing screen does.
class FrameSource {
public:
    explicit FrameSource(FrameStreamer& streamer)
        : thread_([this, &streamer] {
              while (!stop_) {
                  streamer.send(videoFrame(32 * 1024), true);
                  std::this_thread::sleep_for(16ms);
              }
          })
    {
    }
    ~FrameSource()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class ViewerDeparture : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = PhoneNetwork::unavailable())
            GTEST_SKIP() << *reason;
        ASSERT_EQ(network.error(), "");
        harness = std::make_unique<StreamerHarness>([](FrameStreamer::Environment& environment) {
            environment.isHomeNetworkPeer = [](const asio::ip::address&) { return true; };
        });
        // The listener, and so every connection it accepts, lives on the host side.
        NetworkNamespaceScope host(network.hostNamespace());
        ASSERT_TRUE(host.entered());
        harness->streamer->start();
        ASSERT_TRUE(waitUntil([&] { return harness->streamer->listenerReady(); }));
    }

    void TearDown() override
    {
        viewer.reset();
        harness.reset();
    }

    void connectViewer(ViewerClient::Options options = {})
    {
        NetworkNamespaceScope phone(network.phoneNamespace());
        ASSERT_TRUE(phone.entered());
        options.host = PhoneNetwork::hostAddress;
        viewer = connectHandshaken(*harness, "HELLO 2 H264", options);
        ASSERT_TRUE(viewer->connected());
    }

    // Seconds from now until the streamer lets the viewer go, or nothing within `limit`.
    std::optional<double> secondsUntilDropped(std::chrono::seconds limit)
    {
        const auto start = Clock::now();
        if (!waitUntil([&] { return !harness->streamer->isViewerConnected(); }, limit))
            return std::nullopt;
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    int framesWithin(std::chrono::milliseconds window)
    {
        int frames = 0;
        const auto deadline = Clock::now() + window;
        while (Clock::now() < deadline) {
            auto message = viewer->readMessage(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (message && message->kind == link::HostMessage::Kind::videoPacket)
                ++frames;
        }
        return frames;
    }

    PhoneNetwork network;
    std::unique_ptr<StreamerHarness> harness;
    std::unique_ptr<ViewerClient> viewer;
};

struct Vanishing {
    const char* name;
    bool streaming;  // frames keep coming while the phone is gone
    double earliestSeconds;
    double latestSeconds;
};

void PrintTo(const Vanishing& vanishing, std::ostream* out)
{
    *out << vanishing.name;
}

class ViewerVanishing : public ViewerDeparture, public ::testing::WithParamInterface<Vanishing> {};

// Streaming: sent data goes unacknowledged and keep-alive probes are held back; about 15 s.
// Idle: keep-alive probes go unanswered; given up at the first probe after 15 s of silence.
INSTANTIATE_TEST_SUITE_P(Link, ViewerVanishing,
                         ::testing::Values(Vanishing{"whileStreaming", true, 12.0, 22.0},
                                           Vanishing{"whileIdle", false, 8.0, 20.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(ViewerVanishing, EndsTheSessionAsADeparture)
{
    connectViewer();
    std::optional<FrameSource> source;
    if (GetParam().streaming) {
        source.emplace(*harness->streamer);
        ASSERT_GT(framesWithin(1000ms), 10);
    } else {
        // Let the phone acknowledge the welcome, so nothing is left in flight.
        std::this_thread::sleep_for(500ms);
    }
    const int changesBefore = harness->stateChanges;
    ASSERT_TRUE(network.vanish());

    const auto seconds = secondsUntilDropped(30s);
    ASSERT_TRUE(seconds) << "still connected 30 s after the phone vanished";
    std::printf("given up %.1f s after the phone vanished\n", *seconds);
    EXPECT_GE(*seconds, GetParam().earliestSeconds);
    EXPECT_LE(*seconds, GetParam().latestSeconds);
    EXPECT_EQ(harness->streamer->peerName(), std::error_code(ETIMEDOUT, std::generic_category()).message());
    EXPECT_GT(harness->stateChanges, changesBefore);
}

TEST_F(ViewerDeparture, ViewerPausingItsReadsIsKept)
{
    // A small window closes soon after the viewer stops reading; the host's buffers fill behind it.
    connectViewer({.receiveBufferBytes = 64 * 1024});
    FrameSource source(*harness->streamer);
    ASSERT_GT(framesWithin(1000ms), 10);

    const auto pauseEnd = Clock::now() + 10s;
    std::this_thread::sleep_for(4s);
    // The last six seconds of the pause the host cannot get a frame out: the window is shut.
    bool blocked = true;
    while (Clock::now() < pauseEnd) {
        blocked = blocked && !harness->streamer->canAcceptFrame();
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(blocked) << "the host's output never backed up";
    ASSERT_TRUE(harness->streamer->isViewerConnected()) << harness->streamer->peerName();

    EXPECT_GT(framesWithin(3000ms), 30);
    EXPECT_TRUE(harness->streamer->isViewerConnected()) << harness->streamer->peerName();
}

}  // namespace
}  // namespace kestrio::test
