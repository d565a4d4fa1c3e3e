// Viewers from outside the home network, which can only have come through the router's port
// mapping: served only once they name a trusted phone, and never heard before that. Every
// loopback address but 127.0.0.1 is outside here, by the streamer's own judgement of addresses;
// 127.0.0.x and 127.0.7.x are two outside networks.

#include "runtime/base64.h"
#include "link/peer_trust.h"
#include "link/streamer_harness_support.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using link::FrameStreamer;

const std::string outsideAddress = "127.0.0.2";
const std::string otherNetworkAddress = "127.0.7.2";

// How long a network waits for its next judgement after this many refusals in a row.
runtime::Duration penaltyAfter(int refusals)
{
    if (refusals == 0)
        return {};
    return std::min<runtime::Duration>(FrameStreamer::firstRefusalPenalty * (1 << (refusals - 1)), FrameStreamer::longestRefusalPenalty);
}

std::string handshakeWith(const std::string& name, const std::string& identifier)
{
    return "HELLO 2 H264 " + runtime::base64Encode(name) + " " + runtime::base64Encode(identifier);
}

class FrameStreamerOutsiders : public ::testing::Test {
protected:
    FrameStreamerOutsiders()
        : harness([this](FrameStreamer::Environment& environment) {
              environment.isHomeNetworkPeer = [](const asio::ip::address& peer) {
                  // The listener takes both families, so IPv4 peers arrive in IPv6 form.
                  const bool mapped = peer.is_v6() && peer.to_v6().is_v4_mapped();
                  const auto plain = mapped ? asio::ip::address(asio::ip::make_address_v4(asio::ip::v4_mapped, peer.to_v6())) : peer;
                  return plain.to_string() == "127.0.0.1";
              };
              environment.trustedPhones = trusted;
          })
    {
        harness.streamer->onOutsiderRefused = [this] { ++refusals; };
        trusted->replace({"phone-1"});
    }

    void SetUp() override
    {
        harness.streamer->start();
        ASSERT_TRUE(waitUntil([&] { return harness.streamer->listenerReady(); }));
    }

    std::unique_ptr<ViewerClient> outsider(const std::string& address = outsideAddress)
    {
        ViewerClient::Options options;
        options.sourceAddress = address;
        auto viewer = std::make_unique<ViewerClient>(harness.port(), options);
        EXPECT_TRUE(viewer->connected());
        return viewer;
    }

    // Moves virtual time on until the streamer has had its say on what arrived.
    void judgeAfter(runtime::Duration wait)
    {
        harness.settle();
        harness.advance(wait);
    }

    std::shared_ptr<link::TrustedPhones> trusted = std::make_shared<link::TrustedPhones>();
    StreamerHarness harness;
    std::atomic<int> refusals{0};
};

TEST_F(FrameStreamerOutsiders, HandshakesThatDoNotNameATrustedPhoneAreRefusedUnheard)
{
    auto local = connectHandshaken(harness, "HELLO 2 JPEG");
    ASSERT_TRUE(harness.streamer->peerOnHomeNetwork());
    EXPECT_EQ(harness.viewerIdentities().back(), (link::ViewerIdentity{"iPhone", "iPhone", false, true}));

    const std::vector<std::string> handshakes = {
        "HELLO 2 H264",                                                   // no name, no identifier
        "CAP H264 " + runtime::base64Encode("phone-1"),                       // identifier only defaulted from the name
        handshakeWith("민지의 iPhone", "phone-2"),                          // an identifier nobody trusts
        "HELLO 2 JPEG " + runtime::base64Encode("phone-1") + " not*base64",  // an identifier that is not one
    };
    runtime::Duration penalty{0};
    for (std::size_t i = 0; i < handshakes.size(); ++i) {
        SCOPED_TRACE(handshakes[i]);
        auto stranger = outsider();
        stranger->sendLine("PING before");
        stranger->sendLine("M 0.5 0.5");
        stranger->sendLine(handshakes[i]);
        stranger->sendLine("PING after");
        stranger->sendLine("C 0.5 0.5");
        // Whichever comes first, the handshake or the end of the wait, it is judged after it.
        harness.advance(penalty);
        ASSERT_TRUE(waitUntil([&] { return refusals.load() == static_cast<int>(i) + 1; }));
        // Closed without one byte in answer.
        EXPECT_FALSE(stranger->readMessage());
        EXPECT_TRUE(stranger->waitForClose());
        penalty = i == 0 ? FrameStreamer::firstRefusalPenalty : penalty * 2;
    }

    // Nothing the strangers sent reached anyone, and the local viewer never noticed them.
    EXPECT_TRUE(harness.events().empty());
    EXPECT_EQ(harness.viewerIdentities().size(), 1u);
    EXPECT_TRUE(harness.streamer->isViewerConnected());
    EXPECT_TRUE(harness.streamer->peerOnHomeNetwork());
    local->sendLine("PING still");
    EXPECT_EQ(local->readControlText(), "PONG still");
}

TEST_F(FrameStreamerOutsiders, ATrustedPhoneIsServedLikeALocalViewerAndTakesOver)
{
    auto local = connectHandshaken(harness, "HELLO 2 JPEG");
    auto phone = outsider();
    // Lines before the handshake are dropped; those after it are handled in order.
    phone->sendLine("C 0.1 0.1");
    phone->sendLine(handshakeWith("민지의 iPhone", "phone-1") + "\nPING p\nC 0.5 0.25");
    auto welcome = phone->readControlText();
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->rfind("WELCOME 2 H264 ", 0), 0u) << *welcome;
    EXPECT_EQ(phone->readControlText(), "PONG p");
    ASSERT_TRUE(waitUntil([&] { return harness.events().size() == 1; }));
    EXPECT_EQ(harness.events()[0], link::ViewerControlEvent(link::control::Click{0.5, 0.25}));
    EXPECT_EQ(harness.viewerIdentities().back(), (link::ViewerIdentity{"민지의 iPhone", "phone-1", true, false}));
    EXPECT_EQ(refusals.load(), 0);

    // It replaced the local viewer as any new viewer does, and is known to be from outside.
    EXPECT_TRUE(local->waitForClose());
    EXPECT_TRUE(harness.streamer->isViewerConnected());
    EXPECT_FALSE(harness.streamer->peerOnHomeNetwork());
    EXPECT_TRUE(harness.streamer->consumeKeyFrameRequest());
    phone->sendLine("PING later");
    EXPECT_EQ(phone->readControlText(), "PONG later");
}

TEST_F(FrameStreamerOutsiders, RefusalsSlowDownTheNextJudgementEvenOfATrustedPhone)
{
    auto stranger = outsider();
    stranger->sendLine(handshakeWith("guess", "phone-0"));
    ASSERT_TRUE(waitUntil([&] { return refusals.load() == 1; }));

    auto phone = outsider();
    phone->sendLine(handshakeWith("iPhone", "phone-1"));
    EXPECT_TRUE(phone->quietFor(300ms)) << "judged before the penalty ran out";
    harness.advance(FrameStreamer::firstRefusalPenalty - 1ms);
    EXPECT_TRUE(phone->quietFor(100ms));
    harness.advance(1ms);
    auto welcome = phone->readControlText();
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->rfind("WELCOME", 0), 0u);

    // Being served starts the count afresh.
    auto next = outsider();
    next->sendLine(handshakeWith("guess", "phone-9"));
    ASSERT_TRUE(waitUntil([&] { return refusals.load() == 2; }));
    EXPECT_TRUE(next->waitForClose());
}

TEST_F(FrameStreamerOutsiders, SilentOutsidersAreClosedAndEachNetworkHasAFewPlaces)
{
    std::vector<std::unique_ptr<ViewerClient>> waiting;
    for (std::size_t i = 0; i < FrameStreamer::maxWaitingOutsidersPerNetwork; ++i)
        waiting.push_back(outsider());
    auto oneTooMany = outsider();
    EXPECT_TRUE(oneTooMany->waitForClose());
    // A local viewer is never kept waiting by them.
    auto local = connectHandshaken(harness, "HELLO 2 JPEG");

    harness.advance(FrameStreamer::outsiderDeadline - 1ms);
    EXPECT_TRUE(waiting.front()->quietFor(100ms));
    harness.advance(1ms);
    for (auto& viewer : waiting)
        EXPECT_TRUE(viewer->waitForClose());
    EXPECT_EQ(refusals.load(), 0);
    EXPECT_TRUE(harness.streamer->isViewerConnected());

    // Their places are free again.
    auto phone = outsider();
    phone->sendLine(handshakeWith("iPhone", "phone-1"));
    EXPECT_TRUE(phone->readControlText());
}

TEST_F(FrameStreamerOutsiders, StrangersOnOneNetworkNeitherDelayNorCrowdOutTheOwnerOnAnother)
{
    // Refusals in a row drive the strangers' penalty to its longest...
    for (int i = 0; i < 8; ++i) {
        harness.advance(penaltyAfter(i));
        auto stranger = outsider();
        stranger->sendLine(handshakeWith("guess", "phone-" + std::to_string(100 + i)));
        ASSERT_TRUE(waitUntil([&] { return refusals.load() == i + 1; }));
    }
    // ...and their connections, one with a handshake that waits for judgement, fill its places.
    std::vector<std::unique_ptr<ViewerClient>> strangers;
    for (std::size_t i = 0; i < FrameStreamer::maxWaitingOutsidersPerNetwork; ++i)
        strangers.push_back(outsider());
    strangers.back()->sendLine(handshakeWith("guess", "phone-200"));
    harness.settle();
    auto oneTooMany = outsider();
    EXPECT_TRUE(oneTooMany->waitForClose());

    // The owner's phone, arriving from elsewhere, is served at once.
    auto phone = outsider(otherNetworkAddress);
    phone->sendLine(handshakeWith("민지의 iPhone", "phone-1"));
    auto welcome = phone->readControlText();
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->rfind("WELCOME", 0), 0u);

    // The deadline holds until a judgement is made: the waiting handshake is closed unjudged.
    harness.advance(FrameStreamer::outsiderDeadline);
    for (auto& stranger : strangers)
        EXPECT_TRUE(stranger->waitForClose());
    EXPECT_EQ(refusals.load(), 8);
    EXPECT_TRUE(harness.streamer->isViewerConnected());
}

TEST_F(FrameStreamerOutsiders, ANetworksPenaltyFadesWhileItIsQuiet)
{
    // Seven refusals in a row: the next judgement waits the longest penalty.
    for (int i = 0; i < 7; ++i) {
        harness.advance(penaltyAfter(i));
        auto stranger = outsider();
        stranger->sendLine(handshakeWith("guess", "stranger-" + std::to_string(i)));
        ASSERT_TRUE(waitUntil([&] { return refusals.load() == i + 1; }));
    }
    // Quiet long enough after the penalty for all but one refusal to fade: after one more, the
    // wait is 2 s.
    harness.advance(penaltyAfter(7) + FrameStreamer::refusalQuietPeriod * 6);
    auto stranger = outsider();
    stranger->sendLine(handshakeWith("guess", "phone-x"));
    ASSERT_TRUE(waitUntil([&] { return refusals.load() == 8; }));
    auto phone = outsider();
    phone->sendLine(handshakeWith("iPhone", "phone-1"));
    EXPECT_TRUE(phone->quietFor(100ms));
    harness.advance(FrameStreamer::firstRefusalPenalty * 2);
    EXPECT_TRUE(phone->readControlText());
}

TEST_F(FrameStreamerOutsiders, StoppingClosesWaitingOutsiders)
{
    auto waiting = outsider();
    waiting->sendLine("M 0.5 0.5");
    harness.settle();
    harness.streamer->stop();
    EXPECT_TRUE(waiting->waitForClose());
    EXPECT_TRUE(harness.events().empty());
}

TEST(PeerTrust, HomeNetworkAddressesAndTheHostsOwnSubnets)
{
    const std::vector<link::Subnet> own = {{asio::ip::make_address("203.0.113.0"), 24},
                                           {asio::ip::make_address("2001:db8:1::"), 48}};
    const std::vector<std::pair<const char*, bool>> cases = {
        {"127.0.0.1", true},       {"127.255.1.2", true},     {"10.1.2.3", true},
        {"172.16.0.1", true},      {"172.31.255.255", true},  {"172.32.0.1", false},
        {"172.15.255.255", false}, {"192.168.1.20", true},    {"192.169.0.1", false},
        {"169.254.9.9", true},     {"100.64.0.1", false},     {"100.127.255.255", false},
        {"100.128.0.1", false},    {"8.8.8.8", false},        {"203.0.113.77", true},
        {"203.0.114.1", false},    {"::1", true},             {"fd12:3456::1", true},
        {"fc00::1", true},         {"fe80::1", true},         {"febf::1", true},
        {"fec0::1", false},        {"2001:db8:1:2::5", true}, {"2001:db8:2::5", false},
        {"::ffff:192.168.0.4", true}, {"::ffff:8.8.8.8", false}, {"::ffff:203.0.113.9", true},
        {"2606:4700::1111", false},
    };
    for (const auto& [text, home] : cases)
        EXPECT_EQ(link::isHomeNetworkPeer(asio::ip::make_address(text), own), home) << text;
    EXPECT_FALSE(link::isHomeNetworkPeer(asio::ip::make_address("203.0.113.77"), {}));
    // The carrier's shared range is home only where the host has an interface on it (a VPN).
    EXPECT_TRUE(link::isHomeNetworkPeer(asio::ip::make_address("100.100.1.2"), {{asio::ip::make_address("100.100.0.0"), 16}}));
    // Source networks: an IPv4 /24 (in either form), an IPv6 /64.
    const auto network = [](const char* text) { return link::sourceNetworkOf(asio::ip::make_address(text)); };
    EXPECT_EQ(network("198.51.100.7"), network("198.51.100.200"));
    EXPECT_EQ(network("198.51.100.7"), network("::ffff:198.51.100.9"));
    EXPECT_NE(network("198.51.100.7"), network("198.51.101.7"));
    EXPECT_EQ(network("2001:db8:0:1::5"), network("2001:db8:0:1:ffff::1"));
    EXPECT_NE(network("2001:db8:0:1::5"), network("2001:db8:0:2::5"));
    EXPECT_NE(network("0.0.0.0"), network("::"));
    // A prefix that does not fit the family matches nothing.
    EXPECT_FALSE(link::contains({asio::ip::make_address("10.0.0.0"), 33}, asio::ip::make_address("10.0.0.1")));
    EXPECT_TRUE(link::contains({asio::ip::make_address("0.0.0.0"), 0}, asio::ip::make_address("1.2.3.4")));
    EXPECT_FALSE(link::contains({asio::ip::make_address("::"), 0}, asio::ip::make_address("1.2.3.4")));
}

}  // namespace
}  // namespace kestrio::test
