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

// Output `index` of the stand-in encoder: a key frame, with sets, when forced or the first.
EncodedVideoFrame encoded(bool key, std::size_t index)
{
    return key ? EncodedVideoFrame{true, {0x67, 0x64}, {0x68, 0xee}, {0, 0, 0, 2, 0x65, std::uint8_t(index)}} : EncodedVideoFrame{false, {}, {}, {0, 0, 0, 2, 0x41, std::uint8_t(index)}};
}

// The display source, the H.264 encoder and the link in one: the source delivers a frame on the
// capture queue when told, the encoder answers on a thread of its own when emit() says so, the
// link answers as set. `log` says what the source and encoder were asked, in order.
struct Stand final : DisplayCaptureFactory, H264EncoderFactory, FrameSink {
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
    struct Encoder final : H264Encoder {
        Stand& stand;
        explicit Encoder(Stand& stand) : stand(stand) { stand.alive = true; }
        ~Encoder() override { stand.alive = false, stand.add("encoder.destroy"); }
        bool encode(const VideoFrame&, bool forceKeyFrame) override { return std::lock_guard(stand.mutex), !stand.refuse && (stand.forced.push_back(forceKeyFrame), true); }
        void flush() override { stand.add("encoder.flush"), stand.emit(); }
        std::string name() const override { return "stand-in"; }
        void setAverageBitRate(int rate) override { stand.add("encoder.bitRate " + std::to_string(rate)); }
    };

    std::unique_ptr<DisplayCaptureStream> start(const CaptureDisplay&, const CaptureConfiguration& wanted, std::shared_ptr<runtime::SerialQueue> captureQueue,
                                                DisplayCaptureStream::FrameHandler handler) override
    {
        if (configuration = wanted; failure)
            throw *failure;
        queue = std::move(captureQueue), frameHandler = std::move(handler), stopped = false;
        return std::make_unique<Stream>(*this);
    }
    std::unique_ptr<H264Encoder> create(const H264EncoderSettings& wanted, H264Encoder::OutputHandler handler) override
    {
        if (settings = wanted; failCreation)
            throw H264EncoderError("no encoder", -12915);
        return output = std::move(handler), std::make_unique<Encoder>(*this);
    }
    // Frames in the format capture was configured for.
    void deliver(int count = 1)
    {
        for (; count > 0; --count, queue->sync())
            queue->post([this, frame = makeTestFrame(configuration.pixelFormat, 64, 36).frame] { stopped ? void() : frameHandler(frame); });
    }
    // Answers the oldest `count` submissions not yet answered (all when -1), and waits for it.
    void emit(int count = -1)
    {
        std::vector<std::optional<EncodedVideoFrame>> outputs;
        {
            std::lock_guard lock(mutex);
            for (; answered < forced.size() && (count < 0 || std::ssize(outputs) < count); ++answered)
                outputs.push_back(emitNothing ? std::nullopt : std::optional(encoded(answered == 0 || forced[answered], answered)));
        }
        std::thread([&] {
            for (auto& output : outputs)
                this->output(std::move(output));
        }).join();
    }

    bool canAcceptFrame() const override { return ++acceptQueries, onAcceptQuery ? onAcceptQuery() : void(), accept.load(); }
    int framesQueued() const override { return queued; }
    bool isViewerConnected() const override { return ++otherQueries, connected.load(); }
    bool h264Capable() const override { return ++otherQueries, h264.load(); }
    bool consumeKeyFrameRequest() override { return ++otherQueries, keyFrameRequested.exchange(false); }
    void send(std::vector<std::uint8_t> payload) override { std::lock_guard lock(mutex); sent.push_back(std::move(payload)); }
    void setFrameRequestHandler(std::function<void()> handler) override { std::lock_guard lock(mutex); requestHandler = std::move(handler); }
    void add(std::string event) { std::lock_guard lock(mutex); log.push_back(std::move(event)); }
    template <typename T>
    T read(const T& member) { return std::lock_guard(mutex), member; }

    std::mutex mutex;
    std::vector<std::string> log;
    std::vector<std::vector<std::uint8_t>> sent;
    std::function<void()> requestHandler;
    std::optional<CaptureError> failure;  // thrown by start()
    CaptureConfiguration configuration;
    std::shared_ptr<runtime::SerialQueue> queue;
    DisplayCaptureStream::FrameHandler frameHandler;
    bool failCreation = false;
    H264EncoderSettings settings;
    H264Encoder::OutputHandler output;
    std::vector<bool> forced;  // per submission: a key frame was asked for
    std::size_t answered = 0;
    std::atomic<bool> stopped{false}, alive{false}, refuse{false}, emitNothing{false};
    std::atomic<bool> accept{true}, connected{true}, h264{true}, keyFrameRequested{false};
    std::atomic<int> frameRequests{0}, queued{0};
    mutable std::atomic<int> acceptQueries{0}, otherQueries{0};  // others: connection, codec and key frame
    std::function<void()> onAcceptQuery;  // set before frames flow
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
    for (const auto& [name, factory, creationFails, format] : {std::tuple{"encoder", true, false, PixelFormat::nv12}, {"no encoder factory", false, false, PixelFormat::bgra},
                                                               {"encoder creation fails", true, true, PixelFormat::bgra}}) {
        SCOPED_TRACE(name);
        stand = std::make_shared<Stand>();
        stand->failCreation = creationFails;
        auto capturer = start(factory, StreamQuality::dataSaver, StreamFrameRate::sixty);
        EXPECT_EQ(capturer->hasEncoder(), format == PixelFormat::nv12);
        EXPECT_EQ(std::make_tuple(stand->configuration.pixelFormat, stand->configuration.width, stand->configuration.height, stand->configuration.minimumFrameInterval),
                  std::make_tuple(format, 1280, 830, std::chrono::duration_cast<runtime::Duration>(1s) / 60));
        EXPECT_TRUE(!factory || std::make_tuple(stand->settings.height, stand->settings.averageBitRate, stand->settings.framesPerSecond) == std::make_tuple(830, 4'000'000, 60));
        stand->h264 = !capturer->hasEncoder();
        stand->keyFrameRequested = true;
        stand->deliver(2);
        const auto sent = stand->read(stand->sent);
        EXPECT_TRUE(sent.size() == 2u && isJpeg(sent[0]) && isJpeg(sent[1]));
        for (bool h264 : {true, false}) {
            stand->h264 = h264, stand->accept = false, stand->otherQueries = 0;
            stand->deliver();
            EXPECT_EQ(stand->otherQueries, 0);
        }
        EXPECT_TRUE(stand->keyFrameRequested && stand->forced.empty() && stand->read(stand->sent).size() == 2u);
        capturer->stop();
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
    const auto sent = stand->read(stand->sent);
    ASSERT_EQ(sent.size(), 3u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const auto data = encoded(i != 1, i).data;
        EXPECT_TRUE(sent[i][1] == (i != 1) && std::equal(data.rbegin(), data.rend(), sent[i].rbegin())) << "packet " << i;
    }
    capturer->stop();
}

TEST_F(ScreenCapturerTest, ALinkThatKeepsRefusingPicturesLowersTheBitRateAndOneThatKeepsUpRestoresIt)
{
    auto capturer = start(true, StreamQuality::balanced, StreamFrameRate::sixty);
    runtime::TimePoint now{};
    const auto rates = [&](int ticks) {
        for (; ticks > 0; --ticks, now += 17ms)
            capturer->configuration().wantsFrame(now);
        return stand->read(stand->log);
    };
    stand->accept = false;
    EXPECT_EQ(rates(60), (std::vector<std::string>{"encoder.bitRate 5600000"}));
    stand->accept = true;  // the next picture closes the second refused window, then two calm ones
    EXPECT_EQ(rates(90), (std::vector<std::string>{"encoder.bitRate 5600000", "encoder.bitRate 3920000", "encoder.bitRate 4312000"}));
    capturer->stop();
}

TEST_F(ScreenCapturerTest, OutputsTheViewerCannotTakeRefusedSubmissionsAndEmptyOutputsReleaseTheirSlots)
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
        EXPECT_EQ(std::make_pair(capturer->pendingEncodes(), stand->read(stand->sent).size()), std::make_pair(0, std::size_t{last ? 1u : 0u}));
        stand->connected = stand->accept = true;
    }
    capturer->stop();
}

TEST_F(ScreenCapturerTest, StopEndsCaptureThenFinishesTheEncoderWorkAndNothingAfter)
{
    auto capturer = start();
    stand->read(stand->requestHandler)();
    EXPECT_EQ(stand->frameRequests, 1);
    stand->deliver(2);
    capturer->stop();
    EXPECT_EQ(stand->read(stand->log), (std::vector<std::string>{"stream.stop", "encoder.flush", "encoder.destroy"}));
    EXPECT_EQ(std::make_tuple(stand->read(stand->sent).size(), capturer->pendingEncodes(), capturer->hasEncoder()), std::make_tuple(2u, 0, false));
    EXPECT_FALSE(stand->read(stand->requestHandler));
    const int queries = stand->acceptQueries;
    stand->deliver();
    capturer->stop();
    EXPECT_EQ(std::make_pair(stand->acceptQueries.load(), stand->read(stand->log).size()), std::make_pair(queries, std::size_t{3}));
    capturer = start();  // dropping a capturer stops it too
    capturer.reset();
    EXPECT_TRUE(stand->stopped && !stand->alive && !stand->read(stand->requestHandler));

    stand->failure = CaptureError("화면 기록 권한이 없습니다.");
    capturer = ScreenCapturer::create(stand, StreamQuality::balanced, StreamFrameRate::thirty, stand, stand);
    try {
        capturer->start({1, 0, 0, 1728, 1117});
        ADD_FAILURE() << "start() did not throw";
    } catch (const CaptureError& error) {
        EXPECT_STREQ(error.what(), "화면 기록 권한이 없습니다.");
    }
    EXPECT_FALSE(stand->read(stand->requestHandler));
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
    EXPECT_TRUE(stand->read(stand->sent).empty() && stand->forced.empty());
}

}  // namespace
}  // namespace kestrio::test
