// The viewer link seen from a real viewer on loopback: handshakes, pings, line framing, the
// control-buffer cap, replacement and closing.

#include "runtime/base64.h"
#include "link/streamer_harness_support.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using link::HostMessage;

class FrameStreamerConnection : public ::testing::Test {
protected:
    void SetUp() override
    {
        harness.streamer->start();
        ASSERT_NE(harness.port(), 0);
        ASSERT_TRUE(waitUntil([&] { return harness.streamer->listenerReady(); }));
    }

    StreamerHarness harness;
};

// How each handshake line reads is the line parser's tests' part; here, what the streamer makes of it.
TEST_F(FrameStreamerConnection, HandshakesAnswerWithWelcomeByteForByte)
{
    const std::string host = runtime::base64Encode(testHostName);
    struct Case {
        std::string line;
        std::string welcome;
        std::string name;
        std::string identifier;
        bool h264;
    };
    const std::string phone = runtime::base64Encode("민지의 iPhone");
    const std::string id = runtime::base64Encode("device-42");
    const std::vector<Case> cases = {
        {"HELLO 2 H264", "WELCOME 2 H264 " + host + " 1.2.3 45", "iPhone", "iPhone", true},
        {"HELLO JPEG", "WELCOME 2 JPEG " + host + " 1.2.3 45", "iPhone", "iPhone", false},
        {"HELLO 2 JPEG " + phone + " " + id, "WELCOME 2 JPEG " + host + " 1.2.3 45", "민지의 iPhone", "device-42", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ViewerClient viewer(harness.port());
        // A lone "HELLO" or "CAP" is ignored: the first thing that comes back answers the real one.
        viewer.sendLine("HELLO");
        viewer.sendLine("CAP");
        viewer.sendLine(c.line);
        auto message = viewer.readMessage();
        ASSERT_TRUE(message);
        ASSERT_EQ(message->kind, HostMessage::Kind::control);
        EXPECT_EQ(message->controlText(), c.welcome);
        ASSERT_TRUE(waitUntil([&] { return harness.viewerIdentities().size() > 0 && harness.streamer->isViewerConnected(); }));
        EXPECT_EQ(harness.viewerIdentities().back().name, c.name);
        EXPECT_EQ(harness.viewerIdentities().back().identifier, c.identifier);
        EXPECT_EQ(harness.streamer->h264Capable(), c.h264);
        // An H.264 viewer starts with a key frame, once.
        EXPECT_EQ(harness.streamer->consumeKeyFrameRequest(), c.h264);
        EXPECT_FALSE(harness.streamer->consumeKeyFrameRequest());
    }
}

TEST_F(FrameStreamerConnection, KeyFrameRequestsAndRepeatedHandshakes)
{
    std::atomic<int> frameRequests{0};
    harness.streamer->setFrameRequestHandler([&] { ++frameRequests; });
    auto viewer = connectHandshaken(harness, "CAP JPEG");
    EXPECT_EQ(frameRequests.load(), 1);
    EXPECT_FALSE(harness.streamer->consumeKeyFrameRequest());
    viewer->sendLine("KEYFRAME");
    viewer->sendLine("PING k");
    ASSERT_EQ(viewer->readControlText(), "PONG k");
    EXPECT_TRUE(harness.streamer->consumeKeyFrameRequest());
    EXPECT_FALSE(harness.streamer->consumeKeyFrameRequest());
    EXPECT_EQ(frameRequests.load(), 2);

    // A second handshake switches the codec and asks for a key frame again.
    viewer->sendLine("CAP H264");
    auto welcome = viewer->readControlText();
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->substr(0, 15), "WELCOME 2 H264 ");
    EXPECT_TRUE(harness.streamer->h264Capable());
    EXPECT_TRUE(harness.streamer->consumeKeyFrameRequest());
    harness.settle();
    EXPECT_EQ(frameRequests.load(), 3);
    harness.streamer->setFrameRequestHandler({});
}

TEST_F(FrameStreamerConnection, PingsAndLinesAcrossSegments)
{
    ViewerClient viewer(harness.port());
    // Before the handshake nothing is sent, not even a PONG, and nothing is kept for later.
    viewer.sendLine("PING early");
    ASSERT_TRUE(waitUntil([&] { return harness.stateChanges.load() >= 2; }));  // listener + connection ready
    harness.streamer->sendControl("INPUT READY");
    harness.settle();
    viewer.sendLine("CAP JPEG");
    auto first = viewer.readControlText();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->substr(0, 8), "WELCOME ");

    // Lines split over segments, two in one. (Where lines end and how they read is the line
    // assembler's and the line parser's tests' part.)
    viewer.sendRaw("PI");
    viewer.sendRaw("NG 3\nPING 1\n");
    EXPECT_EQ(viewer.readControlText(), "PONG 3");
    EXPECT_EQ(viewer.readControlText(), "PONG 1");
    // An invalid UTF-8 line is dropped without harming the next one.
    viewer.sendRaw("PING \xC3\x28\nPING 4\n");
    EXPECT_EQ(viewer.readControlText(), "PONG 4");
}

// Each way a connection ends leaves the streamer without a viewer, says why, and says it once.
TEST_F(FrameStreamerConnection, EndingsSayWhyOnceAndLetTheNextViewerIn)
{
    // 65,535 bytes and the line feed fill the control buffer to the limit: kept and handled.
    auto viewer = connectHandshaken(harness);
    viewer->sendRaw(std::string(65535, 'x') + "\n");
    viewer->sendLine("PING still-here");
    EXPECT_EQ(viewer->readControlText(), "PONG still-here");

    const struct {
        const char* reason;
        std::function<void(ViewerClient&)> end;
    } endings[] = {
        {"제어 데이터가 너무 큼", [](ViewerClient& v) { v.sendRaw(std::string(65537, 'x')); }},
        {"상대 기기가 연결을 종료함", [](ViewerClient& v) { v.close(); }},
        {"입력이 너무 많아 연결을 끊음",
         [&](ViewerClient&) { harness.streamer->dropConnectionIfCurrent(harness.streamer->connectionGeneration(), "입력이 너무 많아 연결을 끊음"); }},
    };
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.reason);
        viewer = connectHandshaken(harness, "HELLO 2 H264");
        const int before = harness.stateChanges.load();
        ending.end(*viewer);
        ASSERT_TRUE(waitUntil([&] { return harness.streamer->peerName() == ending.reason; })) << harness.streamer->peerName();
        EXPECT_FALSE(harness.streamer->isViewerConnected());
        EXPECT_FALSE(harness.streamer->h264Capable());
        EXPECT_FALSE(harness.streamer->canAcceptFrame());
        EXPECT_FALSE(harness.streamer->consumeKeyFrameRequest());
        EXPECT_EQ(harness.streamer->connectionGeneration(), 0u);
        harness.settle();
        EXPECT_EQ(harness.stateChanges.load(), before + 1);
    }
}

TEST_F(FrameStreamerConnection, NewerViewerReplacesTheCurrentOneWithoutAReason)
{
    auto first = connectHandshaken(harness, "HELLO 2 H264");
    auto second = std::make_unique<ViewerClient>(harness.port());
    // The replaced viewer is cut off...
    EXPECT_TRUE(first->waitForClose());
    // ...and the new one starts from scratch: connected, not handshaken, no key frame pending.
    ASSERT_TRUE(waitUntil([&] { return harness.streamer->peerName() == "127.0.0.1 \u00B7 이 Mac"; }));
    EXPECT_FALSE(harness.streamer->isViewerConnected());
    EXPECT_FALSE(harness.streamer->h264Capable());
    EXPECT_FALSE(harness.streamer->consumeKeyFrameRequest());

    second->sendLine("CAP JPEG");
    ASSERT_TRUE(second->readControlText());
    EXPECT_TRUE(harness.streamer->isViewerConnected());
    // Whatever the old connection does now touches nothing.
    first->reset();
    second->sendLine("PING after");
    EXPECT_EQ(second->readControlText(), "PONG after");
    EXPECT_TRUE(harness.streamer->isViewerConnected());
    EXPECT_EQ(harness.streamer->peerName(), "127.0.0.1 \u00B7 이 Mac");
}

TEST_F(FrameStreamerConnection, DroppingAConnectionByItsNumberSparesItsSuccessor)
{
    EXPECT_EQ(harness.streamer->connectionGeneration(), 0u);
    auto first = connectHandshaken(harness);
    const auto firstNumber = harness.streamer->connectionGeneration();
    auto second = connectHandshaken(harness);
    const auto secondNumber = harness.streamer->connectionGeneration();
    EXPECT_GT(secondNumber, firstNumber);

    harness.streamer->dropConnectionIfCurrent(firstNumber, "too much");
    harness.settle();
    EXPECT_TRUE(harness.streamer->isViewerConnected()) << "a replaced connection's number ends nothing";

    EXPECT_EQ(harness.streamer->connectionGeneration(), secondNumber);
}

TEST_F(FrameStreamerConnection, AnAddressDroppedWithAHoldOffIsTurnedAwayUntilItEnds)
{
    auto flooder = connectHandshaken(harness);
    harness.streamer->dropConnectionIfCurrent(harness.streamer->connectionGeneration(), "입력이 너무 많아 연결을 끊음", 5s);
    EXPECT_TRUE(flooder->waitForClose());

    // Back at once: closed as it arrives, and the viewer from another address keeps its place.
    ViewerClient::Options elsewhere;
    elsewhere.sourceAddress = "127.0.0.3";
    ViewerClient other(harness.port(), elsewhere);
    other.sendLine("HELLO 2 JPEG");
    ASSERT_TRUE(other.readControlText());
    ViewerClient again(harness.port());
    EXPECT_TRUE(again.waitForClose());
    other.sendLine("PING still");
    EXPECT_EQ(other.readControlText(), "PONG still");

    harness.advance(5s);
    auto back = connectHandshaken(harness);
    EXPECT_TRUE(other.waitForClose()) << "replaced, as by any new viewer";
}

TEST_F(FrameStreamerConnection, ControlEventsArriveInOrderEvenBeforeTheHandshake)
{
    ViewerClient viewer(harness.port());
    viewer.sendRaw("M 0 1\nM 1.0001 0.5\nN 500 -500\nK COMMAND_DOWN\nQ 0.5 0.5\nSTOP now\n");
    viewer.sendLine("CAP JPEG");
    ASSERT_TRUE(viewer.readControlText());
    viewer.sendLine("V UP");
    viewer.sendLine("PING sync");
    ASSERT_EQ(viewer.readControlText(), "PONG sync");
    const std::vector<link::ViewerControlEvent> expected = {
        link::control::Move{0, 1},
        link::control::MoveRelative{500, -500},
        link::control::Key{link::ViewerKeyboardKey::commandDown},
        link::control::StopStreaming{},
        link::control::VolumeUp{},
    };
    EXPECT_EQ(harness.events(), expected);
}

TEST_F(FrameStreamerConnection, StopClosesEverythingAndIsQuiet)
{
    auto viewer = connectHandshaken(harness);
    const int before = harness.stateChanges.load();
    const auto port = harness.port();
    harness.streamer->stop();
    EXPECT_TRUE(viewer->waitForClose());
    harness.settle();
    EXPECT_FALSE(harness.streamer->isViewerConnected());
    EXPECT_FALSE(harness.streamer->listenerReady());
    EXPECT_EQ(harness.stateChanges.load(), before);
    ViewerClient refused(port);
    EXPECT_FALSE(refused.connected());
}

}  // namespace
}  // namespace kestrio::test
