#include "viewer/viewer_session.h"

#include "runtime/base64.h"
#include "viewer/test_host_support.h"
#include "viewer/test_media_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrio::viewer {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

// A time source that moves on by `step` every time it is read.
class SteppingClock {
public:
    explicit SteppingClock(Duration step) : step_(step) {}
    ViewerSession::NowFunction function()
    {
        return [this] { return now_ += step_; };
    }

private:
    Duration step_;
    TimePoint now_{};
};

ViewerOptions optionsFor(const test::TestHost& host, Codec codec)
{
    ViewerOptions options;
    options.port = host.port();
    options.codec = codec;
    return options;
}

long count(const std::vector<std::string>& lines, const std::string& line)
{
    return std::count(lines.begin(), lines.end(), line);
}

TEST(HandshakeTest, LinesCarryCodecAndBase64FieldsAndTheWelcomeIsDecoded)
{
    EXPECT_EQ(makeHandshakeLine(HandshakeForm::hello, Codec::h264, "김민지의 iPhone", "기기-7"),
              "HELLO 2 H264 6rmA66+87KeA7J2YIGlQaG9uZQ== 6riw6riwLTc=");
    EXPECT_EQ(makeHandshakeLine(HandshakeForm::cap, Codec::jpeg, "김민지의 iPhone", ""), "CAP JPEG 6rmA66+87KeA7J2YIGlQaG9uZQ==");
    EXPECT_EQ(makeHandshakeLine(HandshakeForm::hello, Codec::jpeg, "", "ignored without a name"), "HELLO 2 JPEG");
    const auto welcome = parseWelcome("WELCOME 2 H264 " + runtime::base64Encode("작업실 PC") + " 1.4 207");
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->hostName, "작업실 PC");
    EXPECT_EQ(welcome->build, "207");
    EXPECT_FALSE(parseWelcome("WELCOME 2 H264"));
}

// What a host sends (decoding, on the real host, is the end-to-end tests' part): damaged frames,
// which ask for one key frame until the next arrives (H.264) or none (JPEG); frames that must come
// out of the decoder one by one; the host closing.
TEST(ViewerSessionTest, DamagedH264AsksForOneKeyFrameUntilTheNextKeyFrameArrives)
{
    test::TestHost host;
    test::TestH264Encoder encoder(160, 96);
    const auto damaged = [](std::vector<std::uint8_t> packet) {
        const auto slice = test::findFirstSlice(packet);
        packet[slice.offset] |= 0x80;  // forbidden_zero_bit
        return packet;
    };
    host.sendPayload(encoder.encodePacket(0));
    host.sendPayload(encoder.encodePacket(1));
    host.sendPayload(damaged(encoder.encodePacket(2)));
    host.sendPayload(damaged(encoder.encodePacket(3)));
    host.sendPayload(test::makeVideoPacket(false, {}, {}, {}) /* no NAL units: nothing to decode */);
    std::vector<std::uint8_t> truncated = encoder.encodePacket(4);
    truncated.resize(truncated.size() - 1);  // its last length now runs past the end
    host.sendPayload(truncated);
    host.sendPayload(encoder.encodePacket(5));

    ViewerSession session(optionsFor(host, Codec::h264));
    std::vector<FrameKind> kinds;
    session.setFrameCallback([&](const DecodedFrame& frame) { kinds.push_back(frame.kind); });
    ASSERT_TRUE(session.connect());
    // One frame per run: each packet must come out of the decoder on its own, not held back.
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(session.run(1, 5s), ViewerSession::RunResult::limitReached) << "frame " << i;
    EXPECT_THAT(kinds, ElementsAre(FrameKind::h264Key, FrameKind::h264Delta, FrameKind::h264Delta));
    EXPECT_EQ(session.statistics().decodeErrors, 3u);
    EXPECT_EQ(session.statistics().keyFrameRequests, 1u);

    // A key frame re-arms the request; the next damage asks again.
    host.sendPayload(encoder.encodePacket(6, true));
    host.sendPayload(damaged(encoder.encodePacket(7)));
    ASSERT_EQ(session.runUntil([&] { return session.statistics().decodeErrors == 4; }, 5s),
              ViewerSession::RunResult::limitReached);
    EXPECT_EQ(session.statistics().h264KeyFrames, 2u);
    EXPECT_EQ(session.statistics().keyFrameRequests, 2u);
    session.close();
    ASSERT_TRUE(host.waitForViewerClose());
    EXPECT_EQ(count(host.lines(), "KEYFRAME"), 2);
}

TEST(ViewerSessionTest, DamagedJpegCountsAnErrorWithoutAskingForAKeyFrameAndTheHostMayClose)
{
    test::TestHost host;
    auto broken = test::makeJpeg(32, 32);
    broken.resize(40);
    host.sendPayload(broken);
    host.sendPayload(test::makeJpeg(32, 24));
    host.closeConnection();
    ViewerSession session(optionsFor(host, Codec::jpeg));
    session.setFrameCallback([&](const DecodedFrame& frame) {
        EXPECT_EQ(frame.kind, FrameKind::jpeg);
        EXPECT_EQ(std::pair(frame.picture.width, frame.picture.height), std::pair(32, 24));
    });
    ASSERT_TRUE(session.connect());
    EXPECT_EQ(session.run(5, 5s), ViewerSession::RunResult::closed);
    EXPECT_EQ(session.statistics().decodedFrames, 1u);
    EXPECT_EQ(session.statistics().decodeErrors, 1u);
    session.close();
    ASSERT_TRUE(host.waitForViewerClose());
    EXPECT_EQ(count(host.lines(), "KEYFRAME"), 0);
}

TEST(ViewerSessionTest, MeasuresPingRoundTripsAndKeepsControlTextsOverIpv6)
{
    test::TestHost host({.ipv6 = true});
    SteppingClock clock(1ms);
    std::vector<std::string> seen;
    ViewerOptions options = optionsFor(host, Codec::h264);
    options.host = "::1";
    options.name = "김민지의 iPhone";
    options.identifier = "기기-7";
    ViewerSession session(options, clock.function());
    session.setMessageCallback([&](std::string_view text) { seen.emplace_back(text); });
    ASSERT_TRUE(session.connect());
    host.sendControl("INPUT READY");

    const auto first = session.sendPing();
    const auto second = session.sendPing();
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    ASSERT_EQ(session.runUntil([&] { return session.statistics().pingRoundTrips.size() == 2; }, 100s),
              ViewerSession::RunResult::limitReached);
    for (const Duration trip : session.statistics().pingRoundTrips)
        EXPECT_GT(trip, Duration::zero());
    ASSERT_EQ(session.runUntil([&] { return seen.size() == 4; }, 100s), ViewerSession::RunResult::limitReached);
    EXPECT_EQ(count(seen, "PONG " + std::to_string(*first)), 1);
    EXPECT_EQ(count(seen, "INPUT READY"), 1);
    ASSERT_TRUE(session.statistics().welcome);
    EXPECT_EQ(session.statistics().welcome->hostName, "테스트 호스트");

    session.sendLine("K 10 20 1");
    session.close();
    ASSERT_TRUE(host.waitForViewerClose());
    EXPECT_EQ(host.received(), "HELLO 2 H264 6rmA66+87KeA7J2YIGlQaG9uZQ== 6riw6riwLTc=\nPING " + std::to_string(*first)
                                   + "\nPING " + std::to_string(*second) + "\nK 10 20 1\n");
}

TEST(ViewerSessionTest, GivesUpWhenNoFrameArrivesInTimeOrNobodyListens)
{
    test::TestHost host({.answer = false});
    SteppingClock clock(500ms);
    ViewerSession session(optionsFor(host, Codec::h264), clock.function());
    ASSERT_TRUE(session.connect());
    EXPECT_EQ(session.run(1, 2s), ViewerSession::RunResult::timedOut);
    // Without a frame limit, lasting the duration is the goal.
    EXPECT_EQ(session.run(std::nullopt, 1s), ViewerSession::RunResult::limitReached);

    // A port that was just free has nobody listening.
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(probe);
    ViewerOptions options;
    options.port = ntohs(address.sin_port);
    ViewerSession refused(options);
    EXPECT_FALSE(refused.connect(1s));
    EXPECT_FALSE(refused.sendLine("PING 1"));
}

}  // namespace
}  // namespace kestrio::viewer
