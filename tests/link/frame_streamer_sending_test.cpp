// Sending with back-pressure against real sockets whose reader stops reading: one message in
// flight, the newest frame waiting, at most eight controls ahead of it, callers never blocked.

#include "link/message_framer.h"
#include "link/streamer_harness_support.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using link::FrameStreamer;
using link::HostMessage;

// Large enough that it cannot leave the host while the viewer reads nothing.
constexpr std::size_t stallingFrameSize = 48u << 20;

FrameStreamer::Payload videoFrame(std::uint32_t sequence, std::size_t size = 16)
{
    FrameStreamer::Payload payload(std::max<std::size_t>(size, 6), static_cast<std::uint8_t>(sequence));
    payload[0] = link::videoPacketType;
    payload[1] = 0;
    payload[2] = static_cast<std::uint8_t>(sequence >> 24);
    payload[3] = static_cast<std::uint8_t>(sequence >> 16);
    payload[4] = static_cast<std::uint8_t>(sequence >> 8);
    payload[5] = static_cast<std::uint8_t>(sequence);
    return payload;
}

std::uint32_t sequenceOf(const HostMessage& message)
{
    const auto& p = message.payload;
    return (std::uint32_t(p[2]) << 24) | (std::uint32_t(p[3]) << 16) | (std::uint32_t(p[4]) << 8) | p[5];
}

class FrameStreamerSending : public ::testing::Test {
protected:
    void SetUp() override
    {
        harness.streamer->start();
        ASSERT_TRUE(waitUntil([&] { return harness.streamer->listenerReady(); }));
    }

    // A viewer whose small receive window lets the first large frame stall in flight.
    std::unique_ptr<ViewerClient> stalledViewer(const std::string& handshake)
    {
        auto viewer = connectHandshaken(harness, handshake, {.receiveBufferBytes = 4096});
        harness.streamer->send(videoFrame(0, stallingFrameSize), true);
        return viewer;
    }

    StreamerHarness harness;
};

TEST_F(FrameStreamerSending, AFrameStaysInFlightUntilTheNetworkHasTakenIt)
{
    // The kernel would take a frame this size at once; a viewer that does not read cannot.
    constexpr std::size_t frameSize = 256u << 10;
    auto viewer = connectHandshaken(harness, "HELLO 2 H264", {.receiveBufferBytes = 4096});
    harness.streamer->send(videoFrame(1, frameSize), true);
    EXPECT_FALSE(waitUntil([&] { return harness.streamer->framesQueued() == 0; }, 300ms));
    harness.streamer->send(videoFrame(2, frameSize), true);
    EXPECT_EQ(harness.streamer->framesQueued(), 2);
    EXPECT_FALSE(harness.streamer->canAcceptFrame());

    for (std::uint32_t sequence : {1u, 2u}) {
        auto frame = viewer->readMessage();
        ASSERT_TRUE(frame);
        EXPECT_EQ(sequenceOf(*frame), sequence);
    }
    EXPECT_TRUE(waitUntil([&] { return harness.streamer->framesQueued() == 0; }));
}

TEST_F(FrameStreamerSending, WaitingFramesAreReplacedAndControlsGoFirst)
{
    auto viewer = stalledViewer("HELLO 2 H264");
    // H.264: one frame may wait behind the one in flight.
    EXPECT_TRUE(harness.streamer->canAcceptFrame());
    harness.streamer->send(videoFrame(1), true);
    EXPECT_FALSE(harness.streamer->canAcceptFrame());
    harness.streamer->send(videoFrame(2), true);
    harness.streamer->send(videoFrame(3), true);
    for (int i = 1; i <= 9; ++i)
        harness.streamer->sendControl("C" + std::to_string(i));

    auto stalled = viewer->readMessage(20000ms);
    ASSERT_TRUE(stalled);
    EXPECT_EQ(stalled->payload.size(), stallingFrameSize);
    for (int i = 1; i <= 8; ++i)
        EXPECT_EQ(viewer->readControlText(), "C" + std::to_string(i));
    auto frame = viewer->readMessage();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->kind, HostMessage::Kind::videoPacket);
    EXPECT_EQ(sequenceOf(*frame), 3u);
    // The ninth control was dropped, not kept for later.
    viewer->sendLine("PING next");
    EXPECT_EQ(viewer->readControlText(), "PONG next");
    EXPECT_TRUE(waitUntil([&] { return harness.streamer->canAcceptFrame(); }));
}

TEST_F(FrameStreamerSending, JpegAdmitsFramesOnlyWhileNothingIsInFlight)
{
    auto viewer = stalledViewer("CAP JPEG");
    EXPECT_FALSE(harness.streamer->canAcceptFrame());
    ASSERT_TRUE(viewer->readMessage(20000ms));
    EXPECT_TRUE(waitUntil([&] { return harness.streamer->canAcceptFrame(); }));
}

TEST_F(FrameStreamerSending, ViewerResetWhileAFrameIsInFlightDropsTheConnectionOnce)
{
    auto viewer = stalledViewer("HELLO 2 H264");
    const int before = harness.stateChanges.load();
    viewer->reset();
    ASSERT_TRUE(waitUntil([&] { return !harness.streamer->isViewerConnected(); }));
    const std::string reason = harness.streamer->peerName();
    // Whichever side of the socket notices first names the reason: the failed send, the failed
    // receive, or the end of stream that follows a reset.
    EXPECT_TRUE(reason == std::error_code(ECONNRESET, std::generic_category()).message() ||
                reason == std::error_code(EPIPE, std::generic_category()).message() || reason == "상대 기기가 연결을 종료함")
        << reason;
    harness.settle();
    EXPECT_EQ(harness.stateChanges.load(), before + 1);
}

TEST_F(FrameStreamerSending, NewViewerDoesNotInheritTheOldOneInFlight)
{
    auto first = stalledViewer("HELLO 2 H264");
    harness.streamer->send(videoFrame(1), true);
    EXPECT_FALSE(harness.streamer->canAcceptFrame());

    ViewerClient second(harness.port());
    second.sendLine("HELLO 2 H264");
    auto welcome = second.readMessage();
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->kind, HostMessage::Kind::control);
    EXPECT_TRUE(harness.streamer->canAcceptFrame());
    harness.streamer->send(videoFrame(7), true);
    auto frame = second.readMessage();
    ASSERT_TRUE(frame);
    EXPECT_EQ(sequenceOf(*frame), 7u);
}

}  // namespace
}  // namespace kestrio::test
