// Sending with back-pressure against real sockets whose reader stops reading: one message in
// flight, the newest frame waiting, at most eight controls ahead of it, callers never blocked.

#include "link/message_framer.h"
#include "link/streamer_harness_support.h"

#include <gtest/gtest.h>

#include <thread>

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

TEST_F(FrameStreamerSending, SlowReaderNeverBlocksProducersAndKeepsOnlyTheNewestFrame)
{
    auto viewer = connectHandshaken(harness, "HELLO 2 H264", {.receiveBufferBytes = 4096});
    constexpr int threads = 4;
    constexpr int framesPerThread = 300;
    constexpr std::size_t frameSize = 100 * 1024;
    std::vector<std::thread> producers;
    for (int t = 0; t < threads; ++t)
        producers.emplace_back([&, t] {
            for (int i = 0; i < framesPerThread; ++i) {
                harness.streamer->send(videoFrame(std::uint32_t(t * framesPerThread + i), frameSize), true);
                if (i % 25 == 0)
                    harness.streamer->sendControl("tick");
            }
        });
    for (auto& producer : producers)
        producer.join();
    constexpr std::uint32_t lastSequence = 0xFFFFFF;
    harness.streamer->send(videoFrame(lastSequence, frameSize), true);

    // Now read until the newest frame arrives: everything the host still had for us.
    int frames = 0;
    int controls = 0;
    for (;;) {
        auto message = viewer->readMessage(20000ms);
        ASSERT_TRUE(message) << frames << " frames read";
        if (message->kind == HostMessage::Kind::control) {
            ++controls;
            continue;
        }
        ASSERT_EQ(message->kind, HostMessage::Kind::videoPacket);
        ASSERT_EQ(message->payload.size(), frameSize);
        ++frames;
        if (sequenceOf(*message) == lastSequence)
            break;
    }
    // Everything beyond what the socket buffers took was replaced in the single waiting slot.
    EXPECT_LT(frames, threads * framesPerThread / 2);
    EXPECT_LT(controls, threads * framesPerThread / 25);
    // Nothing was held back behind the newest frame.
    EXPECT_TRUE(waitUntil([&] { return harness.streamer->canAcceptFrame(); }));
}

TEST_F(FrameStreamerSending, ConcurrentSendersProduceWellFormedOrderedMessages)
{
    auto viewer = connectHandshaken(harness, "HELLO 2 H264");
    constexpr int threads = 4;
    constexpr int messagesPerThread = 400;
    std::atomic<bool> producing{true};
    std::vector<std::thread> producers;
    for (int t = 0; t < threads; ++t)
        producers.emplace_back([&, t] {
            for (int i = 0; i < messagesPerThread; ++i) {
                if (i % 2)
                    harness.streamer->sendControl("t" + std::to_string(t) + " " + std::to_string(i));
                else
                    harness.streamer->send(videoFrame(std::uint32_t(t << 16 | i), 2048), true);
                (void)harness.streamer->canAcceptFrame();
            }
        });
    std::vector<int> lastControl(threads, -1);
    std::vector<int> lastFrame(threads, -1);
    std::thread reader([&] {
        for (;;) {
            const bool finishing = !producing.load();
            auto message = viewer->readMessage(finishing ? 300ms : 50ms);
            if (!message) {
                if (finishing)
                    break;
                continue;
            }
            if (message->kind == HostMessage::Kind::control) {
                int t = 0, i = 0;
                ASSERT_EQ(std::sscanf(message->controlText().c_str(), "t%d %d", &t, &i), 2) << message->controlText();
                EXPECT_GT(i, lastControl[t]);
                lastControl[t] = i;
            } else {
                ASSERT_EQ(message->kind, HostMessage::Kind::videoPacket);
                const auto sequence = sequenceOf(*message);
                const int t = int(sequence >> 16), i = int(sequence & 0xFFFF);
                EXPECT_GT(i, lastFrame[t]);
                lastFrame[t] = i;
                for (std::size_t b = 6; b < message->payload.size(); ++b)
                    ASSERT_EQ(message->payload[b], static_cast<std::uint8_t>(sequence));
            }
        }
    });
    for (auto& producer : producers)
        producer.join();
    producing = false;
    reader.join();
    // Frames replace each other and a full control queue drops, so a sender may lose everything;
    // but the stream as a whole went through.
    int arrivedFrom = 0;
    for (int t = 0; t < threads; ++t)
        arrivedFrom += (lastControl[t] >= 0 || lastFrame[t] >= 0) ? 1 : 0;
    EXPECT_GT(arrivedFrom, 0);
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
