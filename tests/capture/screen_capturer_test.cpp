// The display source and the H.264 encoder are stand-ins; the JPEG encoder is real.

#include "capture/capture_fakes_support.h"
#include "capture/screen_capturer.h"
#include "capture/stream_settings.h"

#include <gtest/gtest.h>

#include <thread>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using capture::OutputSize;
using capture::PixelFormat;
using capture::ScreenCapturer;
using capture::StreamFrameRate;
using capture::StreamQuality;

bool isJpeg(const std::vector<std::uint8_t>& payload)
{
    return payload.size() > 2 && payload[0] == 0xFF && payload[1] == 0xD8;
}

TEST(OutputSize, ScalesDownToTheQualityCapKeepingEvenSides)
{
    EXPECT_EQ(capture::outputSize(1920, 1080, StreamQuality::dataSaver), (OutputSize{1280, 720}));
    EXPECT_EQ(capture::outputSize(1512, 982, StreamQuality::dataSaver), (OutputSize{1280, 830}));
    EXPECT_EQ(capture::outputSize(1728, 1117, StreamQuality::balanced), (OutputSize{1728, 1116}));
    EXPECT_EQ(capture::outputSize(1, 1, StreamQuality::balanced), (OutputSize{2, 2}));
}

class ScreenCapturerTest : public ::testing::Test {
protected:
    std::shared_ptr<ScreenCapturer> start(bool withEncoder = true, StreamQuality quality = StreamQuality::dataSaver,
                                          StreamFrameRate rate = StreamFrameRate::thirty)
    {
        auto capturer = ScreenCapturer::create(sink, quality, rate, displays, withEncoder ? encoders : nullptr);
        capturer->start({7, 100, 0, 1512, 982});
        return capturer;
    }

    // A frame in the format the capture was configured for.
    void deliver(int count = 1)
    {
        for (int i = 0; i < count; ++i)
            displays->deliver(makeTestFrame(displays->configuration.pixelFormat, 64, 36).frame);
    }

    std::shared_ptr<Fakes> fakes = std::make_shared<Fakes>();
    std::shared_ptr<ScriptedSink> sink = std::make_shared<ScriptedSink>();
    std::shared_ptr<FakeDisplays> displays = std::make_shared<FakeDisplays>(fakes);
    std::shared_ptr<FakeEncoders> encoders = std::make_shared<FakeEncoders>(fakes);
};

TEST_F(ScreenCapturerTest, CapturesNv12ForTheEncoderOrBgraWithoutOneAndAJpegViewerGetsJpegEitherWay)
{
    struct Case {
        const char* name;
        bool factory;
        bool creationFails;
        PixelFormat format;
    };
    for (const Case& c : {Case{"encoder", true, false, PixelFormat::nv12}, Case{"no encoder factory", false, false, PixelFormat::bgra},
                          Case{"encoder creation fails", true, true, PixelFormat::bgra}}) {
        SCOPED_TRACE(c.name);
        encoders->failCreation = c.creationFails;
        sink = std::make_shared<ScriptedSink>();
        auto capturer = start(c.factory, StreamQuality::dataSaver, StreamFrameRate::sixty);
        EXPECT_EQ(capturer->hasEncoder(), c.format == PixelFormat::nv12);
        EXPECT_EQ(displays->configuration.pixelFormat, c.format);
        EXPECT_EQ(std::make_pair(displays->configuration.width, displays->configuration.height), std::make_pair(1280, 830));
        EXPECT_EQ(displays->configuration.minimumFrameInterval, std::chrono::duration_cast<runtime::Duration>(1s) / 60);
        if (c.factory) {
            EXPECT_EQ(std::make_tuple(encoders->settings.height, encoders->settings.averageBitRate, encoders->settings.framesPerSecond),
                      std::make_tuple(830, 4'000'000, 60));
        }

        // Without an encoder even an H.264 viewer gets JPEG, and the key-frame request waits
        // for the H.264 path.
        sink->h264 = !capturer->hasEncoder();
        sink->keyFrameRequested = true;
        deliver(2);
        const auto sent = sink->sent();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_TRUE(isJpeg(sent[0]) && isJpeg(sent[1]));
        EXPECT_TRUE(sink->keyFrameRequested);
        EXPECT_TRUE(encoders->forcedKeyFrames.empty());
        capturer->stop();
    }
}

TEST_F(ScreenCapturerTest, FramesTheSinkCannotTakeAreDroppedBeforeAnyWork)
{
    for (bool h264 : {true, false}) {
        SCOPED_TRACE(h264 ? "H.264 viewer" : "JPEG viewer");
        sink = std::make_shared<ScriptedSink>();
        auto capturer = start();
        sink->h264 = h264;
        sink->accept = false;
        sink->keyFrameRequested = true;
        deliver(2);
        EXPECT_EQ(sink->acceptQueries, 2);
        EXPECT_EQ(sink->otherQueries, 0);
        EXPECT_TRUE(sink->sent().empty());
        EXPECT_TRUE(encoders->forcedKeyFrames.empty());
        EXPECT_TRUE(sink->keyFrameRequested);
        capturer->stop();
    }
}

TEST_F(ScreenCapturerTest, CaptureIsToldNotToGrabWhatWouldBeDropped)
{
    auto capturer = start();
    const auto wantsFrame = displays->configuration.wantsFrame;
    ASSERT_TRUE(wantsFrame);
    EXPECT_TRUE(wantsFrame({}));
    sink->accept = false;
    EXPECT_FALSE(wantsFrame({}));
    sink->accept = true;

    // Two frames in the encoder: an H.264 viewer takes no third, a JPEG viewer would.
    deliver(2);
    EXPECT_FALSE(wantsFrame({}));
    sink->h264 = false;
    EXPECT_TRUE(wantsFrame({}));
    sink->h264 = true;
    encoders->emit(1);
    EXPECT_TRUE(wantsFrame({}));

    // What leaves the encoder must find room at the link: with a frame in flight there, one
    // frame in the encoder is all that may be.
    sink->queued = 1;
    EXPECT_FALSE(wantsFrame({}));
    encoders->emit(1);
    EXPECT_TRUE(wantsFrame({}));
    capturer->stop();
}

TEST_F(ScreenCapturerTest, ALinkThatKeepsRefusingPicturesLowersTheBitRateAndOneThatKeepsUpRestoresIt)
{
    auto capturer = start(true, StreamQuality::balanced, StreamFrameRate::sixty);
    const auto wantsFrame = displays->configuration.wantsFrame;
    runtime::TimePoint now{};
    const auto tick = [&](int count) {
        for (int i = 0; i < count; ++i, now += 17ms)
            wantsFrame(now);
        std::vector<std::string> rates;
        for (const auto& event : fakes->log())
            if (event.starts_with("encoder.bitRate "))
                rates.push_back(event.substr(16));
        return rates;
    };
    sink->accept = false;  // a frame waits at the link: every picture is refused
    EXPECT_EQ(tick(60), (std::vector<std::string>{"5600000"}));
    sink->accept = true;  // the next picture closes the second refused window, then two calm ones
    EXPECT_EQ(tick(90), (std::vector<std::string>{"5600000", "3920000", "4312000"}));
    capturer->stop();
}

TEST_F(ScreenCapturerTest, AtMostTwoFramesAreInTheEncoderAndAWaitingKeyFrameRequestGoesWithTheNext)
{
    auto capturer = start();
    deliver(2);
    EXPECT_EQ(capturer->pendingEncodes(), 2);

    // The encoder is full: the request must survive the frames dropped meanwhile.
    sink->keyFrameRequested = true;
    deliver(2);
    EXPECT_EQ(encoders->forcedKeyFrames.size(), 2u);
    EXPECT_TRUE(sink->keyFrameRequested);

    encoders->emit(1);
    EXPECT_EQ(capturer->pendingEncodes(), 1);
    deliver();
    EXPECT_EQ(encoders->forcedKeyFrames, (std::vector<bool>{false, false, true}));
    EXPECT_FALSE(sink->keyFrameRequested);

    encoders->emit();
    EXPECT_EQ(capturer->pendingEncodes(), 0);
    const auto sent = sink->sent();
    ASSERT_EQ(sent.size(), 3u);
    // The packets' layout is the link's tests' part; here, that each output is sent as one.
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const auto encoded = fakeEncodedFrame(i != 1, i);
        EXPECT_EQ(sent[i][1], i != 1 ? 1 : 0) << "packet " << i;
        EXPECT_TRUE(std::equal(encoded.data.rbegin(), encoded.data.rend(), sent[i].rbegin())) << "packet " << i;
    }
    capturer->stop();
}

TEST_F(ScreenCapturerTest, OutputsTheViewerCannotTakeRefusedSubmissionsAndEmptyOutputsReleaseTheirSlots)
{
    auto capturer = start();
    struct Case {
        const char* name;
        bool connected;
        bool refuse;
        bool emitNothing;
    };
    for (const auto& c : {Case{"viewer gone", false, false, false}, Case{"a frame already waits", true, false, false},
                          Case{"refused", true, true, false}, Case{"nothing came out", true, false, true}}) {
        SCOPED_TRACE(c.name);
        encoders->refuse = c.refuse;
        encoders->emitNothing = c.emitNothing;
        deliver(3);
        EXPECT_EQ(capturer->pendingEncodes(), c.refuse ? 0 : 2);
        sink->connected = c.connected;
        sink->accept = c.connected && !c.refuse && c.emitNothing;
        encoders->emit();
        EXPECT_EQ(capturer->pendingEncodes(), 0);
        EXPECT_TRUE(sink->sent().empty());
        sink->connected = true;
        sink->accept = true;
    }
    // Slots released that way are usable again.
    encoders->refuse = false;
    encoders->emitNothing = false;
    deliver();
    encoders->emit();
    EXPECT_EQ(sink->sent().size(), 1u);
    capturer->stop();
}

TEST_F(ScreenCapturerTest, StopEndsCaptureThenFinishesTheEncoderWorkAndNothingAfter)
{
    auto capturer = start();
    sink->frameRequestHandler()();
    EXPECT_EQ(displays->frameRequests, 1);
    deliver(2);

    capturer->stop();
    EXPECT_EQ(fakes->log(), (std::vector<std::string>{"stream.start", "stream.stop", "encoder.flush", "encoder.destroy"}));
    // Frames still in the encoder were delivered by the flush.
    EXPECT_EQ(sink->sent().size(), 2u);
    EXPECT_EQ(capturer->pendingEncodes(), 0);
    EXPECT_FALSE(capturer->hasEncoder());
    EXPECT_FALSE(sink->frameRequestHandler());

    // Nothing is handled after stop() returned, and stopping again changes nothing.
    const int queries = sink->acceptQueries;
    deliver();
    EXPECT_EQ(sink->acceptQueries, queries);
    capturer->stop();
    EXPECT_EQ(fakes->log().size(), 4u);

    // Dropping a capturer stops it too.
    capturer = start();
    capturer.reset();
    EXPECT_TRUE(displays->stopped);
    EXPECT_FALSE(encoders->alive);
    EXPECT_FALSE(sink->frameRequestHandler());
}

TEST_F(ScreenCapturerTest, AFrameCaughtByAStopInProgressIsNotSent)
{
    auto capturer = start();
    std::thread stopper;
    std::atomic<bool> armed{true};
    // The frame is being handled when stop() begins on another thread; stop() takes the
    // encoder at once and then waits for the frame to finish.
    sink->onAcceptQuery = [&] {
        if (!armed.exchange(false))
            return;
        stopper = std::thread([&] { capturer->stop(); });
        while (capturer->hasEncoder())
            std::this_thread::yield();
    };
    deliver();
    stopper.join();
    EXPECT_TRUE(sink->sent().empty()) << "an H.264 viewer got a JPEG";
    EXPECT_TRUE(encoders->forcedKeyFrames.empty());
}

TEST_F(ScreenCapturerTest, CaptureFailureIsThrownUnchanged)
{
    displays->failure = capture::CaptureError("화면 기록 권한이 없습니다.");
    auto capturer = ScreenCapturer::create(sink, StreamQuality::balanced, StreamFrameRate::thirty, displays, encoders);
    try {
        capturer->start({1, 0, 0, 1728, 1117});
        FAIL() << "start() did not throw";
    } catch (const capture::CaptureError& error) {
        EXPECT_STREQ(error.what(), "화면 기록 권한이 없습니다.");
    }
    EXPECT_FALSE(sink->frameRequestHandler());
    capturer->stop();
    EXPECT_FALSE(capturer->hasEncoder());
}

}  // namespace
}  // namespace kestrio::test
