// The listener's life on the virtual clock: retries while the port is taken, re-advertisement,
// names and generations, and timers that outlive stop().

#include "link/peer_description.h"
#include "link/streamer_harness_support.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;

std::string addressInUse()
{
    return std::error_code(EADDRINUSE, std::generic_category()).message();
}

// Holds a port the way another program would.
struct PortSquatter {
    PortSquatter() : acceptor(context, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), 0)) {}
    std::uint16_t port() const { return acceptor.local_endpoint().port(); }

    asio::io_context context;
    asio::ip::tcp::acceptor acceptor;
};

TEST(FrameStreamerListener, RetriesEverySecondWhileThePortIsTakenAndRecovers)
{
    auto squatter = std::make_unique<PortSquatter>();
    StreamerHarness harness(squatter->port());

    EXPECT_THROW(harness.streamer->start(), std::system_error);
    EXPECT_EQ(harness.clock->pendingTimers(), 1u);
    EXPECT_EQ(harness.clock->nextTimerIn(), 1000ms);
    EXPECT_EQ(harness.streamer->peerName(), "USB 또는 로컬 네트워크");

    for (int attempt = 1; attempt <= 3; ++attempt) {
        harness.advance(1000ms);
        EXPECT_EQ(harness.streamer->peerName(), "수신 재시도 중 \u00B7 " + addressInUse());
        EXPECT_EQ(harness.stateChanges.load(), attempt);
        // Each failed retry is followed by exactly one more.
        EXPECT_EQ(harness.clock->pendingTimers(), 1u);
    }

    squatter.reset();
    harness.advance(1000ms);
    harness.settle();
    EXPECT_TRUE(harness.streamer->listenerReady());
    EXPECT_EQ(harness.clock->pendingTimers(), 0u);
    EXPECT_EQ(harness.stateChanges.load(), 4);
    ViewerClient viewer(harness.port());
    EXPECT_TRUE(viewer.connected());
}

TEST(FrameStreamerListener, AdvertisesEachListenerUnderTheNextGeneration)
{
    StreamerHarness harness;
    harness.streamer->start();
    ASSERT_TRUE(waitUntil([&] { return harness.streamer->listenerReady(); }));
    auto advertised = harness.advertiser->advertised();
    ASSERT_EQ(advertised.size(), 1u);
    EXPECT_EQ(advertised[0].instanceName, std::string(testHostName) + " \u00B7 KS1");
    EXPECT_EQ(advertised[0].serviceType, "_kestrio._tcp");
    EXPECT_EQ(advertised[0].port, harness.port());
    EXPECT_EQ(harness.streamer->advertisedName(), advertised[0].instanceName);

    // A second start while listening changes nothing.
    harness.streamer->start();
    EXPECT_EQ(harness.advertiser->advertised().size(), 1u);

    harness.streamer->stop();
    harness.settle();
    EXPECT_EQ(harness.advertiser->liveRegistrations(), 0);
    harness.streamer->start();
    advertised = harness.advertiser->advertised();
    ASSERT_EQ(advertised.size(), 2u);
    EXPECT_EQ(advertised[1].instanceName, std::string(testHostName) + " \u00B7 KS2");

    EXPECT_EQ(link::advertisementInstanceName("studio", 1001), "studio \u00B7 KS1");
    EXPECT_EQ(link::advertisementInstanceName("", 1), "Kestrio Mac \u00B7 KS1");
    // Names longer than DNS-SD allows lose the end of the host name, whole characters only.
    const std::string longName = link::advertisementInstanceName(std::string(51, 'a') + "한국어 이름", 7);
    EXPECT_EQ(longName, std::string(51, 'a') + "한 \u00B7 KS7");
    EXPECT_LE(longName.size(), 63u);
}

TEST(FrameStreamerListener, ReadvertisingReplacesOnlyAListenerThatIsNotReady)
{
    StreamerHarness harness;
    // Caught between creation and readiness: the step runs before the listener reports ready.
    harness.streamer->queue()->post([&] {
        harness.streamer->start();
        harness.streamer->refreshAdvertisement();
    });
    harness.settle();
    EXPECT_EQ(harness.streamer->listeningPort(), 0);
    EXPECT_FALSE(harness.streamer->listenerReady());
    EXPECT_EQ(harness.stateChanges.load(), 1);
    EXPECT_EQ(harness.advertiser->liveRegistrations(), 0);
    EXPECT_EQ(harness.clock->nextTimerIn(), 1250ms);

    harness.advance(1250ms);
    harness.settle();
    EXPECT_TRUE(harness.streamer->listenerReady());
    EXPECT_EQ(harness.streamer->advertisedName(), std::string(testHostName) + " \u00B7 KS2");

    // Ready, or with a viewer connected: nothing happens.
    harness.streamer->refreshAdvertisement();
    harness.settle();
    EXPECT_TRUE(harness.streamer->listenerReady());
    EXPECT_EQ(harness.clock->pendingTimers(), 0u);
    auto viewer = connectHandshaken(harness);
    harness.streamer->refreshAdvertisement();
    harness.settle();
    EXPECT_EQ(harness.clock->pendingTimers(), 0u);
    EXPECT_TRUE(harness.streamer->isViewerConnected());
}

TEST(FrameStreamerListener, TimersThatFireAfterStopStartNothing)
{
    auto squatter = std::make_unique<PortSquatter>();
    StreamerHarness harness(squatter->port());
    EXPECT_THROW(harness.streamer->start(), std::system_error);
    harness.streamer->stop();
    squatter.reset();
    harness.advance(5s);
    EXPECT_EQ(harness.streamer->listeningPort(), 0);
    EXPECT_TRUE(harness.advertiser->advertised().empty());

    StreamerHarness readvertised;
    readvertised.streamer->queue()->post([&] {
        readvertised.streamer->start();
        readvertised.streamer->refreshAdvertisement();
    });
    readvertised.settle();
    readvertised.streamer->stop();
    readvertised.advance(5s);
    EXPECT_EQ(readvertised.streamer->listeningPort(), 0);
    EXPECT_EQ(readvertised.advertiser->advertised().size(), 1u);
}

}  // namespace
}  // namespace kestrio::test
