#include "capture/capture_test_support.h"
#include "capture/screen_capturer.h"
#include "link/h264_packet.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using namespace capture;
using Log = std::vector<std::string>;

// The display source, the H.264 encoder and the link in one, all called by the test's threads.
// Frames come when deliver() says, the encoder's outputs when emit() does: each a key frame,
// with sets, when forced or the first.
struct Stand final : DisplayCaptureFactory, H264EncoderFactory, EncodedFrameSink {
    struct Stream final : DisplayCaptureStream {
        Stand& s;
        explicit Stream(Stand& s) : s(s) {}
        void stop() override { s.log.push_back("stream.stop"); }
        void requestFrame() override { s.log.push_back("stream.request"); }
    };
    struct Encoder final : H264Encoder {
        Stand& s;
        explicit Encoder(Stand& s) : s(s) {}
        ~Encoder() override { s.log.push_back("encoder.destroy"); }
        bool encode(const VideoFrame&, bool key) override { return !s.refuse && (s.forced.push_back(key), true); }
        void flush() override { s.log.push_back("encoder.flush"), s.emit(); }
        std::string name() const override { return {}; }
        void setAverageBitRate(int rate) override { s.log.push_back("bitRate " + std::to_string(rate)); }
    };

    std::unique_ptr<DisplayCaptureStream> start(const CaptureDisplay&, const CaptureConfiguration& wanted, std::shared_ptr<runtime::SerialQueue>,
                                                DisplayCaptureStream::FrameHandler handler) override
    {
        if (configuration = wanted; failure)
            throw *failure;
        return frameHandler = std::move(handler), std::make_unique<Stream>(*this);
    }
    std::unique_ptr<H264Encoder> create(const H264EncoderSettings& wanted, H264Encoder::OutputHandler handler) override
    {
        if (settings = wanted; failCreation)
            throw H264EncoderError("no encoder", -12915);
        return output = std::move(handler), std::make_unique<Encoder>(*this);
    }
    void deliver(int count = 1)
    {
        for (; count > 0; --count)
            frameHandler(makeTestFrame(configuration.pixelFormat, 64, 36).frame);
    }
    // Answers the oldest `count` submissions not yet answered (all when -1).
    void emit(int count = -1)
    {
        for (; answered < forced.size() && count-- != 0; ++answered) {
            const bool key = answered == 0 || forced[answered];
            output(emitNothing ? std::nullopt : std::optional(EncodedVideoFrame{key, {0x67, 0x64}, {0x68, 0xee}, {0, 0, 0, 2, std::uint8_t(key ? 0x65 : 0x41), std::uint8_t(answered)}}));
        }
    }

    bool canAcceptFrame() const override { return onAcceptQuery ? onAcceptQuery() : void(), accept.load(); }
    int framesQueued() const override { return queued; }
    bool pathCongested() const override { return congested; }
    bool isViewerConnected() const override { return connected; }
    bool h264Capable() const override { return h264; }
    bool consumeKeyFrameRequest() override { return keyFrameRequested.exchange(false); }
    // Recorded as the viewer gets them: H.264 frames in the link's packet.
    void sendVideo(const EncodedVideoFrame& f) override { sent.push_back(link::makeH264Packet(f.isKeyFrame, f.sps, f.pps, f.data).value()); }
    void sendJpeg(std::vector<std::uint8_t> jpeg) override { sent.push_back(std::move(jpeg)); }
    void setFrameRequestHandler(std::function<void()> handler) override { requestHandler = std::move(handler); }

    Log log;
    std::vector<std::vector<std::uint8_t>> sent;
    std::function<void()> requestHandler, onAcceptQuery;
    std::optional<CaptureError> failure;  // thrown by start()
    CaptureConfiguration configuration;
    DisplayCaptureStream::FrameHandler frameHandler;
    H264EncoderSettings settings;
    H264Encoder::OutputHandler output;
    std::vector<bool> forced;  // per submission: a key frame was asked for
    std::size_t answered = 0;
    std::atomic<bool> failCreation{false}, refuse{false}, emitNothing{false}, accept{true}, connected{true}, h264{true}, keyFrameRequested{false}, congested{false};
    std::atomic<int> queued{0};
};

struct ScreenCapturerTest : ::testing::Test {
    std::shared_ptr<ScreenCapturer> start(bool withEncoder = true, StreamQuality quality = StreamQuality::dataSaver, StreamFrameRate rate = StreamFrameRate::thirty)
    {
        auto capturer = ScreenCapturer::create(stand, quality, rate, stand, withEncoder ? stand : nullptr);
        capturer->start({7, 100, 0, 1512, 982});
        return capturer;
    }
    std::shared_ptr<Stand> stand = std::make_shared<Stand>();
};

// Without an encoder even an H.264 viewer gets JPEG, and a key-frame request waits for the
// H.264 path. A frame the link cannot take is dropped before any work.
TEST_F(ScreenCapturerTest, CapturesNv12ForTheEncoderOrBgraWithoutOneAndAJpegViewerGetsJpegEitherWay)
{
    for (const auto& [factory, creationFails, format] : {std::tuple{true, false, PixelFormat::nv12}, {false, false, PixelFormat::bgra}, {true, true, PixelFormat::bgra}}) {
        SCOPED_TRACE(std::to_string(factory) + std::to_string(creationFails));
        stand = std::make_shared<Stand>();
        stand->failCreation = creationFails;
        auto capturer = start(factory, StreamQuality::dataSaver, StreamFrameRate::sixty);
        const CaptureConfiguration& c = stand->configuration;
        EXPECT_EQ(std::make_tuple(c.pixelFormat, c.width, c.height, c.minimumFrameInterval), std::make_tuple(format, 1280, 830, std::chrono::duration_cast<runtime::Duration>(1s) / 60));
        EXPECT_TRUE(!factory || std::make_tuple(stand->settings.height, stand->settings.averageBitRate, stand->settings.framesPerSecond) == std::make_tuple(830, 4'000'000, 60));
        stand->h264 = format == PixelFormat::bgra, stand->keyFrameRequested = true;
        stand->deliver(2);
        stand->accept = false;
        for (bool h264 : {true, false})
            stand->h264 = h264, stand->deliver();
        EXPECT_TRUE(stand->sent.size() == 2u && stand->sent[0][0] == 0xFF && stand->sent[1][0] == 0xFF);  // JPEG
        EXPECT_TRUE(stand->keyFrameRequested && stand->forced.empty());
    }
}

// A frame is grabbed only when it would be taken: two frames in the encoder keep an H.264
// viewer from a third (not a JPEG viewer); with a frame at the link, one in the encoder is all
// that may be. A key-frame request waits through the frames dropped meanwhile; each output goes
// out as one packet.
TEST_F(ScreenCapturerTest, AtMostTwoFramesAreInTheEncoderAndAWaitingKeyFrameRequestGoesWithTheNext)
{
    auto capturer = start();
    const auto wants = [&](std::function<void()> change) { return change(), capturer->configuration().wantsFrame({}); };
    EXPECT_TRUE(wants([] {}));
    EXPECT_FALSE(wants([&] { stand->accept = false; }));
    EXPECT_FALSE(wants([&] { stand->accept = true, stand->deliver(2); }));
    EXPECT_TRUE(wants([&] { stand->h264 = false; }));
    stand->h264 = true, stand->keyFrameRequested = true;
    stand->deliver(2);
    EXPECT_TRUE(stand->forced.size() == 2 && stand->keyFrameRequested && capturer->pendingEncodes() == 2);
    EXPECT_TRUE(wants([&] { stand->emit(1); }));
    EXPECT_FALSE(wants([&] { stand->queued = 1; }));
    stand->queued = 0;
    stand->deliver();
    EXPECT_EQ(stand->forced, (std::vector<bool>{false, false, true}));
    EXPECT_TRUE(wants([&] { stand->emit(), stand->queued = 1; }));
    ASSERT_EQ(stand->sent.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)  // key flag, the sets' lengths and the data's last byte
        EXPECT_EQ(std::make_tuple(int(stand->sent[i][1]), int(stand->sent[i][3]), int(stand->sent[i].back())), std::make_tuple(int(i != 1), i != 1 ? 2 : 0, int(i))) << i;
}

// A link that keeps refusing pictures lowers the encoder's bit rate.
TEST_F(ScreenCapturerTest, OutputsTheViewerCannotTakeRefusedSubmissionsAndEmptyOutputsReleaseTheirSlotsAndTheBitRateFollowsTheLink)
{
    auto capturer = start();
    for (const auto& [name, connected, refuse, emitNothing] : {std::tuple{"viewer gone", false, false, false}, {"a frame already waits", true, false, false},
                                                               {"refused", true, true, false}, {"nothing came out", true, false, true}, {"usable again", true, false, false}}) {
        SCOPED_TRACE(name);
        const bool last = std::string_view(name) == "usable again";
        stand->refuse = refuse, stand->emitNothing = emitNothing;
        stand->deliver(last ? 1 : 3);
        EXPECT_EQ(capturer->pendingEncodes(), refuse ? 0 : last ? 1 : 2);
        stand->connected = connected, stand->accept = last || (connected && !refuse && emitNothing);
        stand->emit();
        EXPECT_EQ(std::make_pair(capturer->pendingEncodes(), stand->sent.size()), std::make_pair(0, std::size_t{last ? 1u : 0u}));
        stand->connected = stand->accept = true;
    }
    for (int tick = 0; tick < 60; ++tick)
        stand->accept = false, capturer->configuration().wantsFrame(runtime::TimePoint{} + 17ms * tick);
    EXPECT_EQ(stand->log, Log{"bitRate 2800000"});
    // A congested path brings the rate down as refusals do, yet the pictures still go.
    stand->accept = true, stand->congested = true;
    int wanted = 0;
    for (int tick = 60; tick < 120; ++tick)
        wanted += capturer->configuration().wantsFrame(runtime::TimePoint{} + 17ms * tick) ? 1 : 0;
    EXPECT_EQ(wanted, 60);
    EXPECT_EQ(stand->log, (Log{"bitRate 2800000", "bitRate 1960000", "bitRate 1372000"}));
}

TEST_F(ScreenCapturerTest, StopEndsCaptureThenFinishesTheEncoderWorkAndAFailedStartThrowsTheSourcesError)
{
    auto capturer = start();
    stand->requestHandler();
    stand->deliver(2);
    capturer->stop();
    capturer->stop();
    EXPECT_EQ(stand->log, (Log{"stream.request", "stream.stop", "encoder.flush", "encoder.destroy"}));
    EXPECT_EQ(std::make_tuple(stand->sent.size(), capturer->pendingEncodes(), capturer->hasEncoder(), bool(stand->requestHandler)), std::make_tuple(2u, 0, false, false));
    start().reset();  // dropping a capturer stops it too
    EXPECT_EQ(stand->log.size(), 7u);

    stand->failure = CaptureError("화면 기록 권한이 없습니다.");
    auto failing = ScreenCapturer::create(stand, StreamQuality::balanced, StreamFrameRate::thirty, stand, stand);
    EXPECT_THAT([&] { failing->start({1, 0, 0, 1728, 1117}); }, ::testing::ThrowsMessage<CaptureError>(::testing::StrEq("화면 기록 권한이 없습니다.")));
    EXPECT_FALSE(stand->requestHandler);
}

// The frame is being handled when stop() begins on another thread; stop() takes the encoder at
// once and then waits for the frame to finish, which must not send it as a JPEG.
TEST_F(ScreenCapturerTest, AFrameCaughtByAStopInProgressIsNotSent)
{
    auto capturer = start();
    std::thread stopper;
    stand->onAcceptQuery = [&, armed = std::make_shared<std::atomic<bool>>(true)] {
        if (!armed->exchange(false))
            return;
        stopper = std::thread([&] { capturer->stop(); });
        while (capturer->hasEncoder())
            std::this_thread::yield();
    };
    stand->deliver();
    stopper.join();
    EXPECT_TRUE(stand->sent.empty() && stand->forced.empty());
}

}  // namespace
}  // namespace kestrio::test
