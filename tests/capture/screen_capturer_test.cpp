// The display source and the H.264 encoder are stand-ins; the JPEG encoder is real.

#include "capture/capture_fakes_support.h"
#include "capture/screen_capturer.h"
#include "capture/stream_settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using capture::CaptureDisplay;
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
    std::shared_ptr<ScreenCapturer> startCapturer(bool withEncoder, StreamQuality quality = StreamQuality::dataSaver,
                                                  StreamFrameRate rate = StreamFrameRate::thirty, CaptureDisplay display = {7, 0, 0, 1920, 1080})
    {
        auto capturer = ScreenCapturer::create(sink, quality, rate, displays, withEncoder ? encoders : nullptr);
        capturer->start(display);
        return capturer;
    }

    // A frame in the format the capture was configured for.
    void deliver(const std::shared_ptr<ScreenCapturer>& capturer)
    {
        const auto configuration = capturer->configuration();
        displays->deliver(makeTestFrame(configuration.pixelFormat, 64, 36).frame);
    }

    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
    std::shared_ptr<ScriptedSink> sink = std::make_shared<ScriptedSink>();
    std::shared_ptr<FakeDisplayCaptureFactory> displays = std::make_shared<FakeDisplayCaptureFactory>(log);
    std::shared_ptr<FakeH264EncoderFactory> encoders = std::make_shared<FakeH264EncoderFactory>(log);
};

TEST_F(ScreenCapturerTest, StartConfiguresCaptureAndEncoderForTheOutputSize)
{
    auto capturer = startCapturer(true, StreamQuality::dataSaver, StreamFrameRate::sixty, {7, 100, 0, 1512, 982});
    EXPECT_TRUE(capturer->hasEncoder());

    const auto configuration = displays->configuration();
    ASSERT_TRUE(configuration);
    EXPECT_EQ(configuration->width, 1280);
    EXPECT_EQ(configuration->height, 830);
    EXPECT_EQ(configuration->pixelFormat, PixelFormat::nv12);
    EXPECT_EQ(configuration->minimumFrameInterval, std::chrono::duration_cast<runtime::Duration>(1s) / 60);
    EXPECT_EQ(displays->display()->displayID, 7u);

    const auto settings = encoders->settings();
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->height, 830);
    EXPECT_EQ(settings->averageBitRate, 4'000'000);
    EXPECT_EQ(settings->framesPerSecond, 60);
    capturer->stop();
}

TEST_F(ScreenCapturerTest, WithoutAnEncoderCaptureIsBgraAndEveryViewerGetsJpeg)
{
    for (bool factoryFails : {false, true}) {
        SCOPED_TRACE(factoryFails ? "encoder creation fails" : "no encoder factory");
        encoders->failCreation = factoryFails;
        sink = std::make_shared<ScriptedSink>();
        auto capturer = ScreenCapturer::create(sink, StreamQuality::sharp, StreamFrameRate::thirty, displays,
                                               factoryFails ? encoders : nullptr);
        capturer->start({1, 0, 0, 1920, 1080});
        EXPECT_FALSE(capturer->hasEncoder());
        EXPECT_EQ(displays->configuration()->pixelFormat, PixelFormat::bgra);
        EXPECT_EQ(displays->configuration()->minimumFrameInterval, std::chrono::duration_cast<runtime::Duration>(1s) / 30);

        sink->h264 = true;
        sink->keyFrameRequested = true;
        deliver(capturer);
        deliver(capturer);
        const auto sent = sink->sent();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_TRUE(isJpeg(sent[0]) && isJpeg(sent[1]));
        // The JPEG path leaves a key-frame request for the H.264 path.
        EXPECT_TRUE(sink->keyFrameRequested);
        capturer->stop();
    }
}

TEST_F(ScreenCapturerTest, JpegViewerGetsJpegFromNv12WhenTheEncoderExists)
{
    auto capturer = startCapturer(true);
    sink->h264 = false;
    deliver(capturer);
    const auto sent = sink->sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(isJpeg(sent[0]));
    EXPECT_TRUE(encoders->submissions().empty());
    capturer->stop();
}

TEST_F(ScreenCapturerTest, FramesTheSinkCannotTakeAreDroppedBeforeAnyWork)
{
    for (bool h264 : {true, false}) {
        SCOPED_TRACE(h264 ? "H.264 viewer" : "JPEG viewer");
        sink = std::make_shared<ScriptedSink>();
        auto capturer = startCapturer(true);
        sink->h264 = h264;
        sink->accept = false;
        sink->keyFrameRequested = true;
        deliver(capturer);
        deliver(capturer);
        EXPECT_EQ(sink->acceptQueries, 2);
        EXPECT_EQ(sink->otherQueries, 0);
        EXPECT_TRUE(sink->sent().empty());
        EXPECT_TRUE(encoders->submissions().empty());
        EXPECT_TRUE(sink->keyFrameRequested);
        capturer->stop();
    }
}

TEST_F(ScreenCapturerTest, CaptureIsToldNotToGrabWhatWouldBeDropped)
{
    auto capturer = startCapturer(true);
    const auto configuration = displays->configuration();
    ASSERT_TRUE(configuration && configuration->wantsFrame);
    const auto& wantsFrame = configuration->wantsFrame;
    EXPECT_TRUE(wantsFrame({}));
    sink->accept = false;
    EXPECT_FALSE(wantsFrame({}));
    sink->accept = true;

    // Two frames in the encoder: an H.264 viewer takes no third, a JPEG viewer would.
    deliver(capturer);
    deliver(capturer);
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
    sink->queued = 0;
    capturer->stop();
}

TEST_F(ScreenCapturerTest, ALinkThatKeepsRefusingPicturesLowersTheBitRateAndOneThatKeepsUpRestoresIt)
{
    auto capturer = startCapturer(true, StreamQuality::balanced, StreamFrameRate::sixty);
    const auto wantsFrame = displays->configuration()->wantsFrame;
    const auto rates = [&] {
        std::vector<std::string> found;
        for (const auto& event : log->events())
            if (event.starts_with("encoder.bitRate"))
                found.push_back(event.substr(16));
        return found;
    };
    runtime::TimePoint now{};
    const auto tick = [&](int count) {
        for (int i = 0; i < count; ++i) {
            wantsFrame(now);
            now += std::chrono::milliseconds(17);
        }
    };
    sink->accept = false;  // a frame waits at the link: every picture is refused
    tick(60);
    EXPECT_EQ(rates(), (std::vector<std::string>{"5600000"}));
    sink->accept = true;  // the next picture closes the second refused window, then two calm ones
    tick(90);
    EXPECT_EQ(rates(), (std::vector<std::string>{"5600000", "3920000", "4312000"}));
    capturer->stop();
}

TEST_F(ScreenCapturerTest, AtMostTwoFramesAreInTheEncoderAndAWaitingKeyFrameRequestGoesWithTheNext)
{
    auto capturer = startCapturer(true);
    deliver(capturer);
    deliver(capturer);
    EXPECT_EQ(capturer->pendingEncodes(), 2);

    // The encoder is full: the request must survive the frames dropped meanwhile.
    sink->keyFrameRequested = true;
    deliver(capturer);
    deliver(capturer);
    EXPECT_EQ(encoders->submissions().size(), 2u);
    EXPECT_TRUE(sink->keyFrameRequested);

    encoders->emit(1);
    EXPECT_EQ(capturer->pendingEncodes(), 1);
    deliver(capturer);
    const auto submissions = encoders->submissions();
    ASSERT_EQ(submissions.size(), 3u);
    EXPECT_FALSE(submissions[0].forceKeyFrame);
    EXPECT_FALSE(submissions[1].forceKeyFrame);
    EXPECT_TRUE(submissions[2].forceKeyFrame);
    EXPECT_FALSE(sink->keyFrameRequested);
    EXPECT_EQ(submissions[2].format, PixelFormat::nv12);

    encoders->emit();
    EXPECT_EQ(capturer->pendingEncodes(), 0);
    const auto sent = sink->sent();
    ASSERT_EQ(sent.size(), 3u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const bool keyFrame = i != 1;
        const auto encoded = fakeEncodedFrame(keyFrame, i);
        std::vector<std::uint8_t> expected{2, static_cast<std::uint8_t>(keyFrame ? 1 : 0), 0,
                                           static_cast<std::uint8_t>(encoded.sps.size())};
        expected.insert(expected.end(), encoded.sps.begin(), encoded.sps.end());
        expected.insert(expected.end(), {0, static_cast<std::uint8_t>(encoded.pps.size())});
        expected.insert(expected.end(), encoded.pps.begin(), encoded.pps.end());
        expected.insert(expected.end(), encoded.data.begin(), encoded.data.end());
        EXPECT_EQ(sent[i], expected) << "packet " << i;
    }
    capturer->stop();
}

TEST_F(ScreenCapturerTest, OutputsAreDiscardedWhenTheViewerCannotTakeThemAndTheSlotsComeBack)
{
    auto capturer = startCapturer(true);
    struct Case {
        const char* name;
        bool connected;
        bool h264;
        bool accept;
    };
    for (const auto& c : {Case{"viewer gone", false, true, false}, Case{"a frame already waits", true, true, false}}) {
        SCOPED_TRACE(c.name);
        sink->connected = true;
        sink->h264 = true;
        sink->accept = true;
        deliver(capturer);
        deliver(capturer);
        ASSERT_EQ(capturer->pendingEncodes(), 2);
        sink->connected = c.connected;
        sink->h264 = c.h264;
        sink->accept = c.accept;
        encoders->emit();
        EXPECT_EQ(capturer->pendingEncodes(), 0);
        EXPECT_TRUE(sink->sent().empty());
    }
    capturer->stop();
}

TEST_F(ScreenCapturerTest, RefusedSubmissionsAndEmptyOutputsReleaseTheirSlots)
{
    auto capturer = startCapturer(true);
    encoders->refuse = true;
    deliver(capturer);
    deliver(capturer);
    deliver(capturer);
    EXPECT_EQ(capturer->pendingEncodes(), 0);

    encoders->refuse = false;
    encoders->emitNothing = true;
    deliver(capturer);
    deliver(capturer);
    EXPECT_EQ(capturer->pendingEncodes(), 2);
    encoders->emit();
    EXPECT_EQ(capturer->pendingEncodes(), 0);
    EXPECT_TRUE(sink->sent().empty());

    // Slots released that way are usable again.
    encoders->emitNothing = false;
    deliver(capturer);
    encoders->emit();
    EXPECT_EQ(sink->sent().size(), 1u);
    capturer->stop();
}

TEST_F(ScreenCapturerTest, StopEndsCaptureThenFinishesTheEncoderWork)
{
    auto capturer = startCapturer(true);
    deliver(capturer);
    deliver(capturer);
    ASSERT_TRUE(sink->hasFrameRequestHandler());

    capturer->stop();
    EXPECT_EQ(log->events(), (std::vector<std::string>{"stream.start", "stream.stop", "encoder.flush", "encoder.destroy"}));
    // Frames still in the encoder were delivered by the flush.
    EXPECT_EQ(sink->sent().size(), 2u);
    EXPECT_EQ(capturer->pendingEncodes(), 0);
    EXPECT_FALSE(capturer->hasEncoder());
    EXPECT_FALSE(sink->hasFrameRequestHandler());

    // Nothing is handled after stop() returned, and stopping again changes nothing.
    const int queries = sink->acceptQueries;
    deliver(capturer);
    EXPECT_EQ(sink->acceptQueries, queries);
    capturer->stop();
    EXPECT_EQ(log->events().size(), 4u);
}

TEST_F(ScreenCapturerTest, AFrameCaughtByAStopInProgressIsNotSent)
{
    auto capturer = startCapturer(true);
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
    deliver(capturer);
    stopper.join();
    EXPECT_TRUE(sink->sent().empty()) << "an H.264 viewer got a JPEG";
    EXPECT_TRUE(encoders->submissions().empty());
}

TEST_F(ScreenCapturerTest, DroppingTheCapturerStopsIt)
{
    auto capturer = startCapturer(true);
    deliver(capturer);
    capturer.reset();
    EXPECT_TRUE(displays->stopped());
    EXPECT_FALSE(encoders->alive());
    EXPECT_FALSE(sink->hasFrameRequestHandler());
}

TEST_F(ScreenCapturerTest, FrameRequestsFromTheSinkReachTheStream)
{
    auto capturer = startCapturer(false);
    sink->requestFrame();
    sink->requestFrame();
    EXPECT_EQ(displays->frameRequests(), 2);
    capturer->stop();
    sink->requestFrame();
    EXPECT_EQ(displays->frameRequests(), 2);
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
    EXPECT_FALSE(sink->hasFrameRequestHandler());
    capturer->stop();
    EXPECT_FALSE(capturer->hasEncoder());
}

}  // namespace
}  // namespace kestrio::test
