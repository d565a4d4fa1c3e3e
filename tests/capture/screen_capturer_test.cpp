// The display source and the H.264 encoder are stand-ins; the JPEG encoder is real.

#include "capture/capture_test_support.h"
#include "capture/screen_capturer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using namespace capture;
using Payloads = std::vector<std::vector<std::uint8_t>>;

// Output `index` of the fake encoder: a key frame, with sets, when forced or the first.
EncodedVideoFrame fakeEncodedFrame(bool key, std::size_t index)
{
    if (!key)
        return {false, {}, {}, {0, 0, 0, 2, 0x41, std::uint8_t(index)}};
    return {true, {0x67, 0x64, 0x00, 0x1f}, {0x68, 0xee}, {0, 0, 0, 2, 0x65, std::uint8_t(index)}};
}

// The display source, the H.264 encoder and the link in one: the source delivers a frame on the
// capture queue when the test says so, the encoder answers on a thread of its own when emit()
// says so, the link answers as set. The log says what they were asked, in order
// ("stream.start", "encoder.flush", "encoder.bitRate N", …).
struct Stand final : DisplayCaptureFactory, H264EncoderFactory, FrameSink {
    std::unique_ptr<DisplayCaptureStream> start(const CaptureDisplay&, const CaptureConfiguration& wanted,
                                                std::shared_ptr<runtime::SerialQueue> captureQueue, DisplayCaptureStream::FrameHandler handler) override
    {
        if (configuration = wanted; failure)
            throw *failure;
        queue = std::move(captureQueue), frameHandler = std::move(handler), stopped = false;
        add("stream.start");
        struct Stream final : DisplayCaptureStream {
            Stand& stand;
            explicit Stream(Stand& stand) : stand(stand) {}
            ~Stream() override { stop(); }
            void stop() override
            {
                if (!stand.stopped.exchange(true) && (stand.add("stream.stop"), !stand.queue->isCurrent()))
                    stand.queue->sync();  // no handler is running now, and none will
            }
            void requestFrame() override { ++stand.frameRequests; }
        };
        return std::make_unique<Stream>(*this);
    }
    void deliver(const VideoFrame& frame)
    {
        queue->post([this, frame] { stopped ? void() : frameHandler(frame); });
        queue->sync();
    }

    std::unique_ptr<H264Encoder> create(const H264EncoderSettings& wanted, H264Encoder::OutputHandler handler) override
    {
        if (settings = wanted; failCreation)
            throw H264EncoderError("no encoder", -12915);
        output = std::move(handler);
        struct Encoder final : H264Encoder {
            Stand& stand;
            explicit Encoder(Stand& stand) : stand(stand) { stand.alive = true; }
            ~Encoder() override { stand.alive = false, stand.add("encoder.destroy"); }
            bool encode(const VideoFrame&, bool forceKeyFrame) override
            {
                std::lock_guard lock(stand.mutex);
                return !stand.refuse && (stand.forcedKeyFrames.push_back(forceKeyFrame), true);
            }
            void flush() override { stand.add("encoder.flush"), stand.emit(); }
            std::string name() const override { return "fake"; }
            void setAverageBitRate(int rate) override { stand.add("encoder.bitRate " + std::to_string(rate)); }
        };
        return std::make_unique<Encoder>(*this);
    }
    // Answers the oldest `count` submissions not yet answered (all when -1), and waits for it.
    void emit(int count = -1)
    {
        std::vector<std::optional<EncodedVideoFrame>> outputs;
        {
            std::lock_guard lock(mutex);
            for (; answered < forcedKeyFrames.size() && (count < 0 || std::ssize(outputs) < count); ++answered)
                outputs.push_back(emitNothing ? std::nullopt : std::optional(fakeEncodedFrame(answered == 0 || forcedKeyFrames[answered], answered)));
        }
        std::thread([&] {
            for (auto& encoded : outputs)
                output(std::move(encoded));
        }).join();
    }

    bool canAcceptFrame() const override { return ++acceptQueries, onAcceptQuery ? onAcceptQuery() : void(), accept.load(); }
    int framesQueued() const override { return queued; }
    bool isViewerConnected() const override { return ++otherQueries, connected.load(); }
    bool h264Capable() const override { return ++otherQueries, h264.load(); }
    bool consumeKeyFrameRequest() override { return ++otherQueries, keyFrameRequested.exchange(false); }
    void send(std::vector<std::uint8_t> payload) override { std::lock_guard lock(mutex); payloads.push_back(std::move(payload)); }
    void setFrameRequestHandler(std::function<void()> handler) override { std::lock_guard lock(mutex); requestHandler = std::move(handler); }

    void add(std::string event) { std::lock_guard lock(mutex); events.push_back(std::move(event)); }
    std::vector<std::string> log() { return std::lock_guard(mutex), events; }
    std::function<void()> frameRequestHandler() { return std::lock_guard(mutex), requestHandler; }
    Payloads sent() { return std::lock_guard(mutex), payloads; }

    std::mutex mutex;
    std::vector<std::string> events;
    std::optional<CaptureError> failure;  // thrown by start()
    CaptureConfiguration configuration;   // of the latest start
    std::atomic<int> frameRequests{0};
    std::atomic<bool> stopped{false};
    std::shared_ptr<runtime::SerialQueue> queue;
    DisplayCaptureStream::FrameHandler frameHandler;
    bool failCreation = false;
    std::atomic<bool> refuse{false};       // encode() returns false
    std::atomic<bool> emitNothing{false};  // the encoder drops every frame
    H264EncoderSettings settings;
    std::vector<bool> forcedKeyFrames;     // one per submission
    std::atomic<bool> alive{false};
    H264Encoder::OutputHandler output;
    std::size_t answered = 0;
    std::atomic<bool> accept{true}, connected{true}, h264{true}, keyFrameRequested{false};
    std::atomic<int> queued{0};
    mutable std::atomic<int> acceptQueries{0}, otherQueries{0};  // others: connection, codec and key-frame
    std::function<void()> onAcceptQuery;  // runs inside every canAcceptFrame(); set before frames flow
    Payloads payloads;
    std::function<void()> requestHandler;
};

bool isJpeg(const std::vector<std::uint8_t>& payload)
{
    return payload.size() > 2 && payload[0] == 0xFF && payload[1] == 0xD8;
}

TEST(OutputSize, ScalesDownToTheQualityCapKeepingEvenSides)
{
    EXPECT_EQ(outputSize(1920, 1080, StreamQuality::dataSaver), (OutputSize{1280, 720}));
    EXPECT_EQ(outputSize(1512, 982, StreamQuality::dataSaver), (OutputSize{1280, 830}));
    EXPECT_EQ(outputSize(1728, 1117, StreamQuality::balanced), (OutputSize{1728, 1116}));
    EXPECT_EQ(outputSize(1, 1, StreamQuality::balanced), (OutputSize{2, 2}));
}

class ScreenCapturerTest : public ::testing::Test {
protected:
    std::shared_ptr<ScreenCapturer> start(bool withEncoder = true, StreamQuality quality = StreamQuality::dataSaver,
                                          StreamFrameRate rate = StreamFrameRate::thirty)
    {
        auto capturer = ScreenCapturer::create(stand, quality, rate, stand, withEncoder ? stand : nullptr);
        capturer->start({7, 100, 0, 1512, 982});
        return capturer;
    }
    // Frames in the format the capture was configured for.
    void deliver(int count = 1)
    {
        while (count-- > 0)
            stand->deliver(makeTestFrame(stand->configuration.pixelFormat, 64, 36).frame);
    }

    std::shared_ptr<Stand> stand = std::make_shared<Stand>();
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
        stand = std::make_shared<Stand>();
        stand->failCreation = c.creationFails;
        auto capturer = start(c.factory, StreamQuality::dataSaver, StreamFrameRate::sixty);
        const auto& wanted = stand->configuration;
        EXPECT_EQ(capturer->hasEncoder(), c.format == PixelFormat::nv12);
        EXPECT_EQ(std::make_tuple(wanted.pixelFormat, wanted.width, wanted.height), std::make_tuple(c.format, 1280, 830));
        EXPECT_EQ(wanted.minimumFrameInterval, std::chrono::duration_cast<runtime::Duration>(1s) / 60);
        if (c.factory) {
            EXPECT_EQ(std::make_tuple(stand->settings.height, stand->settings.averageBitRate, stand->settings.framesPerSecond),
                      std::make_tuple(830, 4'000'000, 60));
        }
        // Without an encoder even an H.264 viewer gets JPEG, and the key-frame request waits for the H.264 path.
        stand->h264 = !capturer->hasEncoder();
        stand->keyFrameRequested = true;
        deliver(2);
        const auto sent = stand->sent();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_TRUE(isJpeg(sent[0]) && isJpeg(sent[1]));
        EXPECT_TRUE(stand->keyFrameRequested && stand->forcedKeyFrames.empty());
        capturer->stop();
    }
}

TEST_F(ScreenCapturerTest, FramesTheSinkCannotTakeAreDroppedBeforeAnyWork)
{
    for (bool h264 : {true, false}) {
        SCOPED_TRACE(h264 ? "H.264 viewer" : "JPEG viewer");
        stand = std::make_shared<Stand>();
        auto capturer = start();
        stand->h264 = h264, stand->accept = false, stand->keyFrameRequested = true;
        deliver(2);
        EXPECT_EQ(std::make_pair(stand->acceptQueries.load(), stand->otherQueries.load()), std::make_pair(2, 0));
        EXPECT_TRUE(stand->sent().empty() && stand->forcedKeyFrames.empty() && stand->keyFrameRequested);
        capturer->stop();
    }
}

TEST_F(ScreenCapturerTest, CaptureIsToldNotToGrabWhatWouldBeDropped)
{
    auto capturer = start();
    const auto wantsFrame = stand->configuration.wantsFrame;
    ASSERT_TRUE(wantsFrame);
    // Each step changes the state, then says whether a frame is wanted: two frames in the encoder
    // keep an H.264 viewer from a third but not a JPEG viewer; with a frame in flight at the
    // link, one frame in the encoder is all that may be.
    const std::pair<std::function<void()>, bool> steps[] = {
        {[] {}, true}, {[&] { stand->accept = false; }, false}, {[&] { stand->accept = true, deliver(2); }, false},
        {[&] { stand->h264 = false; }, true}, {[&] { stand->h264 = true, stand->emit(1); }, true},
        {[&] { stand->queued = 1; }, false}, {[&] { stand->emit(1); }, true},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        steps[i].first();
        EXPECT_EQ(wantsFrame({}), steps[i].second) << "step " << i;
    }
    capturer->stop();
}

TEST_F(ScreenCapturerTest, ALinkThatKeepsRefusingPicturesLowersTheBitRateAndOneThatKeepsUpRestoresIt)
{
    auto capturer = start(true, StreamQuality::balanced, StreamFrameRate::sixty);
    runtime::TimePoint now{};
    const auto tick = [&](int count) {
        for (; count > 0; --count, now += 17ms)
            stand->configuration.wantsFrame(now);
        std::vector<std::string> rates;
        for (const auto& event : stand->log())
            if (event.starts_with("encoder.bitRate "))
                rates.push_back(event.substr(16));
        return rates;
    };
    stand->accept = false;  // a frame waits at the link: every picture is refused
    EXPECT_EQ(tick(60), (std::vector<std::string>{"5600000"}));
    stand->accept = true;  // the next picture closes the second refused window, then two calm ones
    EXPECT_EQ(tick(90), (std::vector<std::string>{"5600000", "3920000", "4312000"}));
    capturer->stop();
}

TEST_F(ScreenCapturerTest, AtMostTwoFramesAreInTheEncoderAndAWaitingKeyFrameRequestGoesWithTheNext)
{
    auto capturer = start();
    deliver(2);
    EXPECT_EQ(capturer->pendingEncodes(), 2);
    // The encoder is full: the request must survive the frames dropped meanwhile.
    stand->keyFrameRequested = true;
    deliver(2);
    EXPECT_TRUE(stand->forcedKeyFrames.size() == 2 && stand->keyFrameRequested);
    stand->emit(1);
    EXPECT_EQ(capturer->pendingEncodes(), 1);
    deliver();
    EXPECT_EQ(stand->forcedKeyFrames, (std::vector<bool>{false, false, true}));
    EXPECT_FALSE(stand->keyFrameRequested);
    stand->emit();
    EXPECT_EQ(capturer->pendingEncodes(), 0);
    const auto sent = stand->sent();
    ASSERT_EQ(sent.size(), 3u);
    // The packets' layout is the link's tests' part; here, that each output is sent as one.
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const auto data = fakeEncodedFrame(i != 1, i).data;
        EXPECT_EQ(sent[i][1], i != 1 ? 1 : 0) << "packet " << i;
        EXPECT_TRUE(std::equal(data.rbegin(), data.rend(), sent[i].rbegin())) << "packet " << i;
    }
    capturer->stop();
}

TEST_F(ScreenCapturerTest, OutputsTheViewerCannotTakeRefusedSubmissionsAndEmptyOutputsReleaseTheirSlots)
{
    auto capturer = start();
    struct Case {
        const char* name;
        bool connected, refuse, emitNothing;
    };
    for (const auto& c : {Case{"viewer gone", false, false, false}, Case{"a frame already waits", true, false, false},
                          Case{"refused", true, true, false}, Case{"nothing came out", true, false, true}, Case{"usable again", true, false, false}}) {
        SCOPED_TRACE(c.name);
        const bool last = std::string_view(c.name) == "usable again";
        stand->refuse = c.refuse, stand->emitNothing = c.emitNothing;
        deliver(last ? 1 : 3);
        EXPECT_EQ(capturer->pendingEncodes(), c.refuse ? 0 : last ? 1 : 2);
        stand->connected = c.connected, stand->accept = last || (c.connected && !c.refuse && c.emitNothing);
        stand->emit();
        EXPECT_EQ(capturer->pendingEncodes(), 0);
        EXPECT_EQ(stand->sent().size(), last ? 1u : 0u);
        stand->connected = stand->accept = true;
    }
    capturer->stop();
}

TEST_F(ScreenCapturerTest, StopEndsCaptureThenFinishesTheEncoderWorkAndNothingAfter)
{
    auto capturer = start();
    stand->frameRequestHandler()();
    EXPECT_EQ(stand->frameRequests, 1);
    deliver(2);
    capturer->stop();
    EXPECT_EQ(stand->log(), (std::vector<std::string>{"stream.start", "stream.stop", "encoder.flush", "encoder.destroy"}));
    // Frames still in the encoder were delivered by the flush.
    EXPECT_EQ(std::make_tuple(stand->sent().size(), capturer->pendingEncodes(), capturer->hasEncoder()), std::make_tuple(2u, 0, false));
    EXPECT_FALSE(stand->frameRequestHandler());
    // Nothing is handled after stop() returned, and stopping again changes nothing.
    const int queries = stand->acceptQueries;
    deliver();
    capturer->stop();
    EXPECT_EQ(std::make_pair(stand->acceptQueries.load(), stand->log().size()), std::make_pair(queries, std::size_t{4}));
    // Dropping a capturer stops it too.
    capturer = start();
    capturer.reset();
    EXPECT_TRUE(stand->stopped && !stand->alive && !stand->frameRequestHandler());
}

TEST_F(ScreenCapturerTest, AFrameCaughtByAStopInProgressIsNotSent)
{
    auto capturer = start();
    std::thread stopper;
    std::atomic<bool> armed{true};
    // The frame is being handled when stop() begins on another thread; stop() takes the
    // encoder at once and then waits for the frame to finish.
    stand->onAcceptQuery = [&] {
        if (!armed.exchange(false))
            return;
        stopper = std::thread([&] { capturer->stop(); });
        while (capturer->hasEncoder())
            std::this_thread::yield();
    };
    deliver();
    stopper.join();
    EXPECT_TRUE(stand->sent().empty()) << "an H.264 viewer got a JPEG";
    EXPECT_TRUE(stand->forcedKeyFrames.empty());
}

TEST_F(ScreenCapturerTest, CaptureFailureIsThrownUnchanged)
{
    stand->failure = CaptureError("화면 기록 권한이 없습니다.");
    auto capturer = ScreenCapturer::create(stand, StreamQuality::balanced, StreamFrameRate::thirty, stand, stand);
    try {
        capturer->start({1, 0, 0, 1728, 1117});
        FAIL() << "start() did not throw";
    } catch (const CaptureError& error) {
        EXPECT_STREQ(error.what(), "화면 기록 권한이 없습니다.");
    }
    EXPECT_FALSE(stand->frameRequestHandler());
    capturer->stop();
    EXPECT_FALSE(capturer->hasEncoder());
}

}  // namespace
}  // namespace kestrio::test
