// A viewer that vanishes from the network ends its session within seconds, whether frames were
// being sent or the link was idle; a viewer that only stops reading for a while is kept. Real
// time and real sockets: the host and the phone (the router of the router lab, without its
// daemon) sit in network namespaces of their own, and the phone vanishes by having every packet
// dropped there.

#include "link/message_framer.h"
#include "link/streamer_harness_support.h"
#include "router/router_lab_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

namespace kestrio::test {
namespace {

using namespace platform::testing;
using Clock = std::chrono::steady_clock;

class ViewerDeparture : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = routerLabUnavailable())
            GTEST_SKIP() << *reason;
        lab = std::make_unique<RouterLab>(false);
        ASSERT_EQ(lab->error(), "");
        harness = std::make_unique<StreamerHarness>([](link::FrameStreamer::Environment& environment) {
            environment.isHomeNetworkPeer = [](const asio::ip::address&) { return true; };
        });
        NetworkNamespaceScope hostSide(lab->path("host"));  // the listener, and every connection it accepts
        ASSERT_TRUE(hostSide.entered());
        harness->streamer->start();
        ASSERT_TRUE(waitUntil([&] { return harness->streamer->listenerReady(); }));
        NetworkNamespaceScope phoneSide(lab->path("rtr"));
        viewer = connectHandshaken(*harness, "HELLO 2 H264", {.host = RouterLab::hostAddress, .receiveBufferBytes = 64 * 1024});
        ASSERT_TRUE(viewer->connected());
    }

    // Hands the streamer a frame every 16 ms, as a capture of a changing screen does.
    void startFrames()
    {
        frames = std::jthread([this](std::stop_token stop) {
            for (link::FrameStreamer::Payload frame(32 * 1024, link::videoPacketType); !stop.stop_requested(); std::this_thread::sleep_for(16ms))
                harness->streamer->send(frame, true);
        });
    }

    int framesWithin(std::chrono::milliseconds window)
    {
        int count = 0;
        for (const auto deadline = Clock::now() + window; Clock::now() < deadline;) {
            auto message = viewer->readMessage(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            count += message && message->kind == link::HostMessage::Kind::videoPacket;
        }
        return count;
    }

    std::unique_ptr<RouterLab> lab;  // members go in reverse: the frames first, the lab last
    std::unique_ptr<StreamerHarness> harness;
    std::unique_ptr<ViewerClient> viewer;
    std::jthread frames;
};

class ViewerVanishing : public ViewerDeparture, public ::testing::WithParamInterface<bool> {};

// Streaming: sent data goes unacknowledged and keep-alive probes are held back; about 15 s.
// Idle: keep-alive probes go unanswered; given up at the first probe after 15 s of silence.
INSTANTIATE_TEST_SUITE_P(Link, ViewerVanishing, ::testing::Bool(), [](const auto& info) { return std::string(info.param ? "whileStreaming" : "whileIdle"); });

TEST_P(ViewerVanishing, EndsTheSessionAsADeparture)
{
    if (GetParam()) {
        startFrames();
        ASSERT_GT(framesWithin(1000ms), 10);
    } else {
        std::this_thread::sleep_for(500ms);  // the phone acknowledges the welcome: nothing in flight
    }
    const int changesBefore = harness->stateChanges;
    ASSERT_EQ(lab->inRouter("nft 'add table inet vanish; add chain inet vanish in { type filter hook input priority -500; policy drop; }; "
                            "add chain inet vanish out { type filter hook output priority -500; policy drop; }' && echo dropped"), "dropped\n");
    const auto start = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return !harness->streamer->isViewerConnected(); }, 30s)) << "still connected 30 s after the phone vanished";
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("given up %.1f s after the phone vanished\n", seconds);
    EXPECT_GE(seconds, GetParam() ? 12.0 : 8.0);
    EXPECT_LE(seconds, GetParam() ? 22.0 : 20.0);
    EXPECT_EQ(harness->streamer->peerName(), std::generic_category().message(ETIMEDOUT));
    harness->settle();  // the change is reported after the state has changed
    EXPECT_GT(harness->stateChanges, changesBefore);
}

TEST_F(ViewerDeparture, ViewerPausingItsReadsIsKept)
{
    startFrames();
    ASSERT_GT(framesWithin(1000ms), 10);
    // The small window closes soon after the viewer stops reading; for the last six seconds of
    // the pause the host cannot get a frame out.
    const auto pauseEnd = Clock::now() + 10s;
    std::this_thread::sleep_for(4s);
    bool blocked = true;
    for (; Clock::now() < pauseEnd; std::this_thread::sleep_for(50ms))
        blocked = blocked && !harness->streamer->canAcceptFrame();
    EXPECT_TRUE(blocked) << "the host's output never backed up";
    EXPECT_GT(framesWithin(3000ms), 30);
    EXPECT_TRUE(harness->streamer->isViewerConnected()) << harness->streamer->peerName();
}

}  // namespace
}  // namespace kestrio::test
