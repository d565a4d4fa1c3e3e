// The streamer against real viewers on loopback, on a virtual clock. 127.0.0.x is the home
// network; 127.0.n.x for any other n is a network outside it, reached through the router.

#include "link/message_framer.h"
#include "link/peer_description.h"
#include "link/streamer_harness_support.h"
#include "runtime/base64.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using link::FrameStreamer;
using link::HostMessage;
using link::ViewerAdmission;
using runtime::base64Encode;

std::string hello(const std::string& name, const std::string& identifier)
{
    return "HELLO 2 H264 " + base64Encode(name) + " " + base64Encode(identifier);
}

FrameStreamer::Payload videoFrame(std::uint8_t sequence, std::size_t size = 16)
{
    FrameStreamer::Payload payload(size, sequence);
    payload[0] = link::videoPacketType;
    return payload;
}

class FrameStreamerTest : public ::testing::Test {
protected:
    FrameStreamerTest()
        : harness([this](FrameStreamer::Environment& environment) {
              // The listener takes both families, so IPv4 peers arrive in IPv6 form.
              environment.isHomeNetworkPeer = [](const asio::ip::address& peer) { return peer.to_string().starts_with("::ffff:127.0.0."); };
              environment.trustedPhones = trusted;
          })
    {
        harness.streamer->onOutsiderRefused = [this] { ++refusals; };
        trusted->replace({"phone-1"});
        harness.streamer->start();
        EXPECT_TRUE(waitUntil([&] { return harness.streamer->listenerReady(); }));
    }

    std::unique_ptr<ViewerClient> from(const std::string& address, const std::string& line = "")
    {
        auto viewer = std::make_unique<ViewerClient>(harness.port(), ViewerOptions{.sourceAddress = address});
        viewer->sendLine(line);
        return viewer;
    }

    // A viewer whose small receive window keeps a large first frame in flight.
    std::unique_ptr<ViewerClient> stalled(const std::string& handshake)
    {
        auto viewer = connectHandshaken(harness, handshake, {.receiveBufferBytes = 4096});
        harness.streamer->send(videoFrame(0, stallingFrameSize), true);
        return viewer;
    }

    static constexpr std::size_t stallingFrameSize = 48u << 20;
    std::shared_ptr<link::TrustedPhones> trusted = std::make_shared<link::TrustedPhones>();
    StreamerHarness harness;
    std::atomic<int> refusals{0};
};

TEST_F(FrameStreamerTest, HandshakesLinesAndKeyFrames)
{
    std::atomic<int> frameRequests{0};
    harness.streamer->setFrameRequestHandler([&] { ++frameRequests; });
    ViewerClient viewer(harness.port());
    // Before the handshake events are handled, but nothing is sent, not even a PONG, nor kept;
    // a lone "HELLO" or "CAP" is no handshake.
    viewer.sendRaw("M 0 1\nPING early\nN 500 -500\nSTOP now\nHELLO\nCAP\n");
    ASSERT_TRUE(waitUntil([&] { harness.settle(); return harness.events().size() == 3; }));
    harness.streamer->sendControl("INPUT READY");
    harness.settle();
    viewer.sendLine("HELLO 2 JPEG " + base64Encode("민지의 iPhone") + " " + base64Encode("device-42"));
    const std::string host = base64Encode(testHostName);
    EXPECT_EQ(viewer.readControlText(), "WELCOME 2 JPEG " + host + " 1.2.3 45");
    harness.settle();
    EXPECT_EQ(harness.identities().back(), (link::ViewerIdentity{"민지의 iPhone", "device-42", true, true}));
    EXPECT_EQ(frameRequests.load(), 1);
    EXPECT_FALSE(harness.streamer->consumeKeyFrameRequest());

    // Lines across segments; an invalid UTF-8 line is dropped without harming the next.
    viewer.sendRaw("V UP\nKEYFR");
    viewer.sendRaw("AME\nPING \xC3\x28\nPING 4\n");
    EXPECT_EQ(viewer.readControlText(), "PONG 4");
    EXPECT_TRUE(harness.streamer->consumeKeyFrameRequest());
    EXPECT_EQ(frameRequests.load(), 2);
    // A second handshake switches the codec and asks for one key frame.
    viewer.sendLine("CAP H264");
    EXPECT_EQ(viewer.readControlText(), "WELCOME 2 H264 " + host + " 1.2.3 45");
    EXPECT_TRUE(harness.streamer->h264Capable());
    EXPECT_TRUE(harness.streamer->consumeKeyFrameRequest());
    EXPECT_FALSE(harness.streamer->consumeKeyFrameRequest());
    harness.settle();
    EXPECT_EQ(frameRequests.load(), 3);
    harness.streamer->setFrameRequestHandler({});
    const std::vector<link::ViewerControlEvent> expected = {link::control::Move{0, 1}, link::control::MoveRelative{500, -500},
                                                            link::control::StopStreaming{}, link::control::VolumeUp{}};
    EXPECT_EQ(harness.events(), expected);
}

TEST_F(FrameStreamerTest, EndingsSayWhyOnceAndResetTheState)
{
    const std::pair<const char*, std::function<void(ViewerClient&)>> endings[] = {
        {"제어 데이터가 너무 큼", [](ViewerClient& v) { v.sendRaw(std::string(65537, 'x')); }},
        {"상대 기기가 연결을 종료함", [](ViewerClient& v) { v.close(); }},
        {"입력이 너무 많아 연결을 끊음",
         [&](ViewerClient&) { harness.streamer->dropConnectionIfCurrent(harness.streamer->connectionGeneration(), "입력이 너무 많아 연결을 끊음"); }},
    };
    for (const auto& [reason, end] : endings) {
        SCOPED_TRACE(reason);
        auto viewer = connectHandshaken(harness);
        const int before = harness.stateChanges.load();
        end(*viewer);
        ASSERT_TRUE(waitUntil([&] { return harness.streamer->peerName() == reason; })) << harness.streamer->peerName();
        EXPECT_FALSE(harness.streamer->isViewerConnected() || harness.streamer->h264Capable() || harness.streamer->canAcceptFrame() ||
                     harness.streamer->consumeKeyFrameRequest() || harness.streamer->connectionGeneration() != 0);
        harness.settle();
        EXPECT_EQ(harness.stateChanges.load(), before + 1);
    }
}

// A newer viewer replaces the current one at once, and an old connection's number ends nothing.
TEST_F(FrameStreamerTest, AnAddressDroppedWithAHoldOffIsTurnedAwayUntilItEndsNewerViewersReplaceAndStopEndsAll)
{
    auto flooder = connectHandshaken(harness);
    const auto flooderNumber = harness.streamer->connectionGeneration();
    harness.streamer->dropConnectionIfCurrent(flooderNumber, "입력이 너무 많아 연결을 끊음", 5s);
    EXPECT_TRUE(flooder->waitForClose());
    auto other = from("127.0.0.3", "HELLO 2 H264");
    ASSERT_TRUE(other->readControlText());
    EXPECT_TRUE(from("127.0.0.1")->waitForClose());
    harness.streamer->dropConnectionIfCurrent(flooderNumber, "too much");
    other->sendLine("PING still");
    EXPECT_EQ(other->readControlText(), "PONG still");
    EXPECT_EQ(harness.streamer->peerName(), "127.0.0.3 \u00B7 이 Mac");
    harness.advance(5s);
    auto viewer = std::make_unique<ViewerClient>(harness.port());
    EXPECT_TRUE(other->waitForClose());
    ASSERT_TRUE(waitUntil([&] { return harness.streamer->peerName() == "127.0.0.1 \u00B7 이 Mac"; }));
    EXPECT_FALSE(harness.streamer->isViewerConnected() || harness.streamer->h264Capable() || harness.streamer->consumeKeyFrameRequest());

    // Stopping closes every connection, waiting outsiders too, and says nothing.
    auto waiting = from("127.0.1.2", "M 0.5 0.5");
    harness.settle();
    const int before = harness.stateChanges.load();
    const auto port = harness.port();
    harness.streamer->stop();
    EXPECT_TRUE(viewer->waitForClose());
    EXPECT_TRUE(waiting->waitForClose());
    harness.settle();
    EXPECT_FALSE(harness.streamer->isViewerConnected() || harness.streamer->listenerReady());
    EXPECT_EQ(harness.stateChanges.load(), before);
    EXPECT_TRUE(harness.events().empty());
    EXPECT_FALSE(ViewerClient(port).connected());
}

TEST(FrameStreamerListener, RetriesEverySecondWhileThePortIsTakenAndNotAfterStop)
{
    asio::io_context context;
    const auto squat = [&](std::uint16_t port) {
        return std::make_unique<asio::ip::tcp::acceptor>(context, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), port));
    };
    auto squatter = squat(0);
    const auto port = squatter->local_endpoint().port();
    StreamerHarness harness([&](FrameStreamer::Environment& environment) { environment.port = port; });
    EXPECT_THROW(harness.streamer->start(), std::system_error);
    EXPECT_EQ(harness.clock->nextTimerIn(), 1000ms);
    harness.advance(1000ms);
    EXPECT_EQ(harness.streamer->peerName(), "수신 재시도 중 \u00B7 " + std::generic_category().message(EADDRINUSE));
    EXPECT_EQ(harness.stateChanges.load(), 1);
    EXPECT_EQ(harness.clock->pendingTimers(), 1u);
    squatter.reset();
    harness.advance(1000ms);
    EXPECT_TRUE(harness.streamer->listenerReady());
    EXPECT_EQ(harness.clock->pendingTimers(), 0u);

    harness.streamer->stop();
    harness.settle();
    squatter = squat(port);
    EXPECT_THROW(harness.streamer->start(), std::system_error);
    harness.streamer->stop();
    squatter.reset();
    harness.advance(5s);
    EXPECT_EQ(harness.streamer->listeningPort(), 0);
}

// News of the host's interfaces: the path is looked up again once it has settled, once for a
// burst however long, and only a different description is reported. The watch ends with the
// streamer.
TEST(FrameStreamerPaths, TheDescriptionFollowsThePathOnceABurstOfNewsHasSettled)
{
    std::atomic<link::InterfaceType> kind{link::InterfaceType::wifi};
    std::atomic<int> lookups{0};
    std::function<void()> news;
    const auto watch = std::make_shared<int>();
    std::optional<StreamerHarness> harness(std::in_place, [&](FrameStreamer::Environment& environment) {
        environment.isHomeNetworkPeer = [](const asio::ip::address&) { return true; };
        environment.pathResolver = [&](const std::string&) { return ++lookups, link::NetworkPath(kind.load()); };
        environment.networkChanges = [&](asio::io_context&, std::function<void()> changed) { return news = std::move(changed), watch; };
    });
    harness->streamer->start();
    ASSERT_TRUE(waitUntil([&] { return harness->streamer->listenerReady(); }));
    auto viewer = connectHandshaken(*harness);
    ASSERT_EQ(harness->streamer->peerName(), "127.0.0.1 \u00B7 Wi\u2011Fi");
    ASSERT_TRUE(news);

    const struct {
        link::InterfaceType kind;
        int news;
        const char* description;
        int reported;
    } rounds[] = {{link::InterfaceType::wiredEthernet, 10000, "127.0.0.1 \u00B7 USB/유선", 1},
                  {link::InterfaceType::other, 1, "127.0.0.1 \u00B7 USB/유선", 0}};
    for (const auto& round : rounds) {
        SCOPED_TRACE(round.news);
        const int lookupsBefore = lookups, changesBefore = harness->stateChanges;
        kind = round.kind;
        harness->streamer->queue()->post([&, count = round.news] {
            for (int i = 0; i < count; ++i)
                news();
        });
        harness->settle();
        harness->advance(FrameStreamer::pathSettleDelay - 1ms);
        EXPECT_EQ(lookups, lookupsBefore) << "looked before the news settled";
        harness->advance(1ms);
        EXPECT_EQ(lookups, lookupsBefore + 1);
        EXPECT_EQ(harness->streamer->peerName(), round.description);
        EXPECT_EQ(harness->stateChanges, changesBefore + round.reported);
    }
    harness.reset();
    EXPECT_EQ(watch.use_count(), 1);
}

TEST(FrameStreamerListener, EachListenerIsAdvertisedAndOnlyOneNotReadyIsReplaced)
{
    StreamerHarness harness;
    harness.streamer->queue()->post([&] {  // caught between creation and readiness
        harness.streamer->start();
        harness.streamer->refreshAdvertisement();
    });
    harness.settle();
    EXPECT_FALSE(harness.streamer->listenerReady());
    EXPECT_EQ(harness.liveRegistrations.load(), 0);
    EXPECT_EQ(harness.clock->nextTimerIn(), 1250ms);
    harness.advance(1250ms);
    EXPECT_TRUE(harness.streamer->listenerReady());
    harness.streamer->start();  // listening: nothing more
    ASSERT_EQ(harness.advertised().size(), 2u);
    EXPECT_EQ(harness.advertised()[1].instanceName, std::string(testHostName) + " \u00B7 KS2");
    EXPECT_EQ(harness.advertised()[1].serviceType + std::to_string(harness.advertised()[1].port), "_kestrio._tcp" + std::to_string(harness.port()));
    harness.streamer->refreshAdvertisement();  // ready: nothing happens, nor with a viewer
    auto viewer = connectHandshaken(harness);
    harness.streamer->refreshAdvertisement();
    harness.settle();
    EXPECT_EQ(harness.clock->pendingTimers(), 0u);
    EXPECT_TRUE(harness.streamer->isViewerConnected());
    harness.streamer->stop();
    harness.settle();
    EXPECT_EQ(harness.liveRegistrations.load(), 0);

    EXPECT_EQ(link::advertisementInstanceName("", 1), "Kestrio Mac \u00B7 KS1");
    // DNS-SD allows 63 bytes: the host name loses its end, whole characters only.
    EXPECT_EQ(link::advertisementInstanceName(std::string(51, 'a') + "한국어 이름", 1001), std::string(51, 'a') + "한 \u00B7 KS1");
}

TEST_F(FrameStreamerTest, OutsidersAreRefusedUnheardUnlessTheyNameATrustedPhone)
{
    auto local = connectHandshaken(harness, "HELLO 2 JPEG");
    const std::string handshakes[] = {
        "HELLO 2 H264", "CAP H264 " + base64Encode("phone-1"),  // the identifier only defaulted from the name
        hello("민지의 iPhone", "phone-2"), "HELLO 2 JPEG " + base64Encode("phone-1") + " not*base64",
    };
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(handshakes[i]);
        auto stranger = from("127.0." + std::to_string(i + 1) + ".2");
        stranger->sendRaw("PING before\nM 0.5 0.5\n" + handshakes[i] + "\nPING after\nC 0.5 0.5\n");
        ASSERT_TRUE(waitUntil([&] { return refusals.load() == i + 1; }));
        EXPECT_FALSE(stranger->readMessage());
        EXPECT_TRUE(stranger->waitForClose());
    }
    harness.settle();
    EXPECT_TRUE(harness.events().empty() && harness.streamer->peerOnHomeNetwork());

    // Served like a local viewer, it takes over: lines before its handshake are dropped, those after it handled.
    auto phone = from("127.0.5.2", "C 0.1 0.1");
    phone->sendLine(hello("민지의 iPhone", "phone-1") + "\nC 0.5 0.25\nPING p");
    EXPECT_TRUE(phone->readControlText().value_or("").starts_with("WELCOME 2 H264 "));
    EXPECT_EQ(phone->readControlText(), "PONG p");
    harness.settle();
    EXPECT_EQ(harness.events(), (std::vector<link::ViewerControlEvent>{link::control::Click{0.5, 0.25}}));
    EXPECT_EQ(harness.identities(), (std::vector<link::ViewerIdentity>{{"iPhone", "iPhone", false, true}, {"민지의 iPhone", "phone-1", true, false}}));
    EXPECT_TRUE(local->waitForClose());
    EXPECT_TRUE(harness.streamer->isViewerConnected() && !harness.streamer->peerOnHomeNetwork());
    EXPECT_TRUE(harness.streamer->consumeKeyFrameRequest());
}

// After each refusal a network's next judgement waits twice as long, up to the longest; served,
// its count starts afresh; quiet, it fades by one a period. Strangers on one network neither
// delay nor crowd out the owner on another.
TEST_F(FrameStreamerTest, OutsiderNetworksPenaltiesPlacesAndDeadline)
{
    const auto servedAfter = [&](runtime::Duration wait) {
        auto phone = from("127.0.1.3", hello("iPhone", "phone-1"));
        harness.advance(wait - 1ms);
        EXPECT_FALSE(phone->readMessage(200ms));
        harness.advance(1ms);
        EXPECT_TRUE(phone->readControlText());
    };
    from("127.0.1.2", hello("guess", "phone-0"));
    ASSERT_TRUE(waitUntil([&] { return refusals.load() == 1; }));
    servedAfter(ViewerAdmission::firstRefusalPenalty);
    for (int i = 1; i <= 7; ++i) {
        const auto penaltyOfOneFewer = ViewerAdmission::firstRefusalPenalty * (1 << i) / 4;
        harness.advance(std::min<runtime::Duration>(penaltyOfOneFewer, ViewerAdmission::longestRefusalPenalty));
        from("127.0.1.2", hello("guess", "stranger"));
        ASSERT_TRUE(waitUntil([&] { return refusals.load() == i + 1; }));
    }

    std::vector<std::unique_ptr<ViewerClient>> strangers;
    for (std::size_t i = 0; i < ViewerAdmission::maxWaitingOutsidersPerNetwork; ++i)
        strangers.push_back(from("127.0.1.2", i == 0 ? hello("guess", "phone-2") : ""));
    harness.settle();
    EXPECT_TRUE(from("127.0.1.2")->waitForClose());
    auto local = connectHandshaken(harness);
    EXPECT_TRUE(from("127.0.7.2", hello("민지의 iPhone", "phone-1"))->readControlText());
    // Not judged by the deadline: closed, handshake or not, and their places are free again.
    harness.advance(ViewerAdmission::outsiderDeadline - 1ms);
    EXPECT_FALSE(strangers.front()->readMessage(100ms));
    harness.advance(1ms);
    for (auto& stranger : strangers)
        EXPECT_TRUE(stranger->waitForClose());
    EXPECT_FALSE(from("127.0.1.2")->waitForClose(300ms));

    harness.advance(ViewerAdmission::longestRefusalPenalty + ViewerAdmission::refusalQuietPeriod * 6);
    from("127.0.1.2", hello("guess", "phone-x"));
    ASSERT_TRUE(waitUntil([&] { return refusals.load() == 9; }));
    servedAfter(ViewerAdmission::firstRefusalPenalty * 2);
}

TEST(PeerTrust, HomeNetworkAddressesAndTheHostsOwnSubnets)
{
    const auto home = [](const char* text, std::vector<link::Subnet> own = {{asio::ip::make_address("203.0.113.0"), 24},
                                                                            {asio::ip::make_address("2001:db8:1::"), 48}}) {
        return link::isHomeNetworkPeer(asio::ip::make_address(text), own);
    };
    for (const char* text : {"127.255.1.2", "10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.1.20", "169.254.9.9", "203.0.113.77",
                             "::1", "fc00::1", "fe80::1", "febf::1", "2001:db8:1:2::5", "::ffff:192.168.0.4", "::ffff:203.0.113.9"})
        EXPECT_TRUE(home(text)) << text;
    for (const char* text : {"172.32.0.1", "172.15.255.255", "192.169.0.1", "100.64.0.1", "100.127.255.255", "8.8.8.8", "203.0.114.1",
                             "fec0::1", "2001:db8:2::5", "::ffff:8.8.8.8", "2606:4700::1111"})
        EXPECT_FALSE(home(text)) << text;
    // The carrier's shared range is home only where the host has an interface on it (a VPN).
    EXPECT_TRUE(home("100.100.1.2", {{asio::ip::make_address("100.100.0.0"), 16}}));
    const auto network = [](const char* text) { return link::sourceNetworkOf(asio::ip::make_address(text)); };
    EXPECT_EQ(network("198.51.100.7") + network("2001:db8:0:1::5"), network("::ffff:198.51.100.200") + network("2001:db8:0:1:ffff::1"));
    EXPECT_NE(network("198.51.100.7"), network("198.51.101.7"));
    EXPECT_NE(network("2001:db8:0:1::5"), network("2001:db8:0:2::5"));
    EXPECT_FALSE(link::contains({asio::ip::make_address("10.0.0.1"), 33}, asio::ip::make_address("10.0.0.1")) ||
                 link::contains({asio::ip::make_address("::"), 0}, asio::ip::make_address("1.2.3.4"))) << "a prefix that does not fit";
}

TEST_F(FrameStreamerTest, AFrameStaysInFlightUntilTheNetworkHasTakenIt)
{
    // The kernel would take a frame this size at once; a viewer that does not read cannot.
    auto viewer = connectHandshaken(harness, "HELLO 2 H264", {.receiveBufferBytes = 4096});
    harness.streamer->send(videoFrame(1, 256u << 10), true);
    EXPECT_FALSE(waitUntil([&] { return harness.streamer->framesQueued() == 0; }, 300ms));
    harness.streamer->send(videoFrame(2, 256u << 10), true);
    EXPECT_FALSE(harness.streamer->canAcceptFrame());
    for (std::uint8_t sequence : {1, 2})
        EXPECT_EQ(viewer->readMessage().value_or(HostMessage{}).payload.at(2), sequence);
    EXPECT_TRUE(waitUntil([&] { return harness.streamer->framesQueued() == 0; }));
}

TEST_F(FrameStreamerTest, WaitingFramesAreReplacedAndAtMostEightControlsGoFirst)
{
    auto viewer = stalled("HELLO 2 H264");
    EXPECT_TRUE(harness.streamer->canAcceptFrame());
    for (std::uint8_t sequence : {1, 2, 3})
        harness.streamer->send(videoFrame(sequence), true);
    EXPECT_FALSE(harness.streamer->canAcceptFrame());
    for (int i = 1; i <= 9; ++i)
        harness.streamer->sendControl("C" + std::to_string(i));
    EXPECT_EQ(viewer->readMessage(20000ms).value_or(HostMessage{}).payload.size(), stallingFrameSize);
    for (int i = 1; i <= 8; ++i)
        EXPECT_EQ(viewer->readControlText(), "C" + std::to_string(i));
    EXPECT_EQ(viewer->readMessage(), (HostMessage{HostMessage::Kind::videoPacket, videoFrame(3)}));
    viewer->sendLine("PING next");
    EXPECT_EQ(viewer->readControlText(), "PONG next");
}

TEST_F(FrameStreamerTest, ANewViewerStartsWithNothingInFlightAndItsResetDropsItOnce)
{
    auto first = stalled("HELLO 2 H264");
    harness.streamer->send(videoFrame(1), true);
    EXPECT_FALSE(harness.streamer->canAcceptFrame());
    auto second = connectHandshaken(harness, "CAP JPEG", {.receiveBufferBytes = 4096});
    EXPECT_TRUE(waitUntil([&] { return harness.streamer->canAcceptFrame(); }));
    harness.streamer->send(videoFrame(7), true);
    EXPECT_EQ(second->readMessage(), (HostMessage{HostMessage::Kind::videoPacket, videoFrame(7)}));
    EXPECT_TRUE(waitUntil([&] { return harness.streamer->canAcceptFrame(); }));
    harness.streamer->send(videoFrame(0, stallingFrameSize), true);
    EXPECT_FALSE(harness.streamer->canAcceptFrame()) << "JPEG: nothing while a frame is in flight";

    const int before = harness.stateChanges.load();
    second->reset();
    ASSERT_TRUE(waitUntil([&] { return !harness.streamer->isViewerConnected(); }));
    // Whichever side of the socket notices first names the reason.
    EXPECT_THAT(harness.streamer->peerName(), testing::AnyOf(std::generic_category().message(ECONNRESET),
                                                             std::generic_category().message(EPIPE), "상대 기기가 연결을 종료함"));
    harness.settle();
    EXPECT_EQ(harness.stateChanges.load(), before + 1);
}

}  // namespace
}  // namespace kestrio::test
