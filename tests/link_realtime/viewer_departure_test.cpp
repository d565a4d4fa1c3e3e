// A viewer that vanishes from the network ends its session within seconds, whether frames were
// being sent or the link was idle; a viewer that only stops reading for a while is kept. Real
// time and real sockets: the host and the phone sit in network namespaces of their own, joined
// by a veth pair, and the phone vanishes by having every packet dropped there.

#include "link/message_framer.h"
#include "link/streamer_harness_support.h"
#include "router/router_lab_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace kestrio::test {
namespace {

using namespace platform::testing;
using Clock = std::chrono::steady_clock;

int ip(const std::string& arguments)
{
    std::vector<std::string> words = {"ip"};
    std::istringstream stream(arguments);
    for (std::string word; stream >> word;)
        words.push_back(word);
    return runProgram(words);
}

class ViewerDeparture : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0 || findProgram("ip").empty() || findProgram("nft").empty())
            GTEST_SKIP() << "needs root, iproute2 and nft";
        host = freshLabName() + "-host";
        phone = host.substr(0, host.size() - 4) + "phone";
        // The veth pair is made inside the namespaces, so its names never meet another run's.
        for (const std::string& step : {"netns add " + host, "netns add " + phone, "-n " + host + " link set lo up",
                                        "-n " + phone + " link set lo up", "-n " + host + " link add wlan type veth peer name wlan netns " + phone,
                                        "-n " + host + " addr add 10.77.0.1/24 dev wlan", "-n " + phone + " addr add 10.77.0.2/24 dev wlan",
                                        "-n " + host + " link set wlan up", "-n " + phone + " link set wlan up"})
            ASSERT_EQ(ip(step), 0) << step;
        harness = std::make_unique<StreamerHarness>([](link::FrameStreamer::Environment& environment) {
            environment.isHomeNetworkPeer = [](const asio::ip::address&) { return true; };
        });
        NetworkNamespaceScope hostSide("/run/netns/" + host);  // the listener, and every connection it accepts
        ASSERT_TRUE(hostSide.entered());
        harness->streamer->start();
        ASSERT_TRUE(waitUntil([&] { return harness->streamer->listenerReady(); }));
        NetworkNamespaceScope phoneSide("/run/netns/" + phone);
        viewer = connectHandshaken(*harness, "HELLO 2 H264", {.host = "10.77.0.1", .receiveBufferBytes = 64 * 1024});
        ASSERT_TRUE(viewer->connected());
    }

    void TearDown() override
    {
        frames = std::jthread();
        viewer.reset();
        harness.reset();
        ip("netns delete " + phone);
        ip("netns delete " + host);
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

    std::string host, phone;
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
    ASSERT_EQ(runProgram({"ip", "netns", "exec", phone, "nft",
                          "add table inet vanish; add chain inet vanish in { type filter hook input priority -500; policy drop; }; "
                          "add chain inet vanish out { type filter hook output priority -500; policy drop; }"}),
              0);
    const auto start = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return !harness->streamer->isViewerConnected(); }, 30s)) << "still connected 30 s after the phone vanished";
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("given up %.1f s after the phone vanished\n", seconds);
    EXPECT_GE(seconds, GetParam() ? 12.0 : 8.0);
    EXPECT_LE(seconds, GetParam() ? 22.0 : 20.0);
    EXPECT_EQ(harness->streamer->peerName(), std::generic_category().message(ETIMEDOUT));
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
