#include "platform/x11/x11_display_capture.h"
#include "runtime/serial_queue.h"
#include "runtime/virtual_clock.h"
#include "x11/x11_test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

namespace kestrio::platform {
namespace {

using namespace capture;
using namespace std::chrono_literals;
using testing::Picture;
using testing::solidPicture;
using Means = std::array<double, 3>;

constexpr int screenWidth = 640, screenHeight = 480;
constexpr auto interval = std::chrono::duration_cast<runtime::Duration>(std::chrono::nanoseconds(1'000'000'000 / 30));
constexpr CaptureDisplay wholeScreen{1, 0, 0, screenWidth, screenHeight};

// Counts what the handler delivers and holds the latest frame, and every frame when asked to,
// so that their pixels can be read; thread-safe.
class FrameLog {
public:
    void add(const VideoFrame& frame, bool keep = false)
    {
        std::lock_guard lock(mutex_);
        ++count_, last_ = frame;
        if (keep)
            kept_.push_back(frame);
    }
    std::size_t count() const { return std::lock_guard(mutex_), count_; }
    VideoFrame last() const { return std::lock_guard(mutex_), last_; }
    // Drops the frames held: their buffers go back to the capture.
    void release()
    {
        std::lock_guard lock(mutex_);
        kept_.clear(), last_ = {};
    }

private:
    mutable std::mutex mutex_;
    std::size_t count_ = 0;
    VideoFrame last_;
    std::vector<VideoFrame> kept_;
};

std::uint32_t bgraAt(const VideoFrame& frame, int x, int y)
{
    std::uint32_t pixel = 0;
    std::memcpy(&pixel, frame.planes[0] + y * frame.strides[0] + x * 4, 4);
    return pixel;
}

// Mean blue, green and red (BGRA) or luma, Cb and Cr (NV12, even coordinates) over a rectangle.
Means means(const VideoFrame& frame, int x, int y, int width, int height)
{
    const auto mean = [&](int plane, int step, int offset, int scale) {
        double sum = 0;
        for (int row = y / scale; row < (y + height) / scale; ++row)
            for (int column = x / scale; column < (x + width) / scale; ++column)
                sum += frame.planes[plane][row * frame.strides[plane] + column * step + offset];
        return sum * scale * scale / (width * height);
    };
    if (frame.format == PixelFormat::bgra)
        return {mean(0, 4, 0, 1), mean(0, 4, 1, 1), mean(0, 4, 2, 1)};
    return {mean(0, 1, 0, 1), mean(1, 2, 0, 2), mean(1, 2, 1, 2)};
}

// What `means` gives on a picture of `rgb`: video-range BT.601 for NV12.
Means expectedMeans(PixelFormat format, std::uint32_t rgb)
{
    const double r = (rgb >> 16) & 0xff, g = (rgb >> 8) & 0xff, b = rgb & 0xff;
    if (format == PixelFormat::bgra)
        return {b, g, r};
    return {16 + 0.257 * r + 0.504 * g + 0.098 * b, 128 - 0.148 * r - 0.291 * g + 0.439 * b, 128 + 0.439 * r - 0.368 * g - 0.071 * b};
}

// Compares 40-pixel blocks of the drawn picture under the captured rectangle with the frame's
// blocks, away from the block edges that filtering blends.
double worstBlockDifference(const Picture& pattern, const VideoFrame& frame, const CaptureDisplay& source)
{
    const double scaleX = static_cast<double>(frame.width) / std::min(source.width, screenWidth - source.x);
    const double scaleY = static_cast<double>(frame.height) / std::min(source.height, screenHeight - source.y);
    double worst = 0;
    for (int blockY = 0; blockY + 40 <= frame.height / scaleY; blockY += 40) {
        for (int blockX = 0; blockX + 40 <= frame.width / scaleX; blockX += 40) {
            const auto actual = means(frame, static_cast<int>(std::ceil((blockX + 6) * scaleX)) & ~1, static_cast<int>(std::ceil((blockY + 6) * scaleY)) & ~1,
                                      static_cast<int>(28 * scaleX) & ~1, static_cast<int>(28 * scaleY) & ~1);
            const auto expected = expectedMeans(frame.format, pattern.at(source.x + blockX + 20, source.y + blockY + 20));
            for (int i = 0; i < 3; ++i)
                worst = std::max(worst, std::abs(actual[i] - expected[i]));
        }
    }
    return worst;
}

class X11DisplayCaptureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server_ = testing::startServer({screenWidth, screenHeight});
        ASSERT_TRUE(server_);
        display_ = std::make_unique<testing::TestDisplay>(server_->displayName());
        ASSERT_TRUE(display_->connected());
        display_->draw(pattern_, 0, 0);
        display_->warpPointer(screenWidth - 1, screenHeight - 1);  // where no test looks unless it means to
        factory_ = std::make_unique<X11DisplayCaptureFactory>(server_->displayName(), clock_);
    }
    void TearDown() override
    {
        if (stream_)
            stream_->stop();
        queue_->shutdown();
    }

    static CaptureConfiguration configuration(int width, int height, PixelFormat format, bool showsCursor = false, int queueDepth = 5)
    {
        return {width, height, format, interval, queueDepth, showsCursor, {}};
    }
    void start(const CaptureDisplay& display, const CaptureConfiguration& configuration, bool keepFrames = false)
    {
        stream_ = factory_->start(display, configuration, queue_, [this, keepFrames](const VideoFrame& frame) { log_.add(frame, keepFrames); });
    }
    // Runs `count` ticks (the first at once) and returns how many frames have come since the start.
    std::size_t tick(int count = 1)
    {
        for (; count > 0; --count, started_ = true)
            clock_->advance(started_ ? interval : runtime::Duration::zero());
        return log_.count();
    }

    std::unique_ptr<XvfbServer> server_;
    std::unique_ptr<testing::TestDisplay> display_;
    const Picture pattern_ = testing::blockPattern(screenWidth, screenHeight, 40);
    std::shared_ptr<runtime::VirtualClock> clock_ = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<runtime::SerialQueue> queue_ = runtime::SerialQueue::create("x11-capture-test");
    std::unique_ptr<X11DisplayCaptureFactory> factory_;
    std::unique_ptr<DisplayCaptureStream> stream_;
    FrameLog log_;
    bool started_ = false;
};

TEST_F(X11DisplayCaptureTest, FramesAreThePictureUnderTheirRectangleScaledAndConverted)
{
    struct Case {
        CaptureDisplay source;
        int width, height;
        PixelFormat format;
        int expectedWidth, expectedHeight;
    };
    // NV12 at 320x240 and 400x300 goes through the downscaler; at 240x180, under half across,
    // through libyuv's scaling. A rectangle over the edges gives only the part on the screen.
    for (Case c : {Case{wholeScreen, 0, 0, PixelFormat::bgra, screenWidth, screenHeight}, Case{wholeScreen, 320, 240, PixelFormat::bgra, 320, 240},
                   Case{wholeScreen, 0, 0, PixelFormat::nv12, screenWidth, screenHeight}, Case{wholeScreen, 320, 240, PixelFormat::nv12, 320, 240},
                   Case{wholeScreen, 400, 300, PixelFormat::nv12, 400, 300}, Case{wholeScreen, 240, 180, PixelFormat::nv12, 240, 180},
                   Case{{2, 120, 80, 200, 160}, 0, 0, PixelFormat::bgra, 200, 160}, Case{{3, 600, 400, 200, 200}, 0, 0, PixelFormat::bgra, 40, 80}}) {
        SCOPED_TRACE(std::to_string(c.source.x) + "," + std::to_string(c.source.y) + " to " + std::to_string(c.expectedWidth) + "x" +
                     std::to_string(c.expectedHeight) + (c.format == PixelFormat::nv12 ? " nv12" : " bgra"));
        FrameLog log;
        auto stream = factory_->start(c.source, configuration(c.width, c.height, c.format), queue_, [&log](const VideoFrame& frame) { log.add(frame); });
        clock_->advance(runtime::Duration::zero());
        stream->stop();
        ASSERT_EQ(log.count(), 1u);
        const VideoFrame frame = log.last();
        EXPECT_EQ(frame.format, c.format);
        ASSERT_EQ(std::make_pair(frame.width, frame.height), std::make_pair(c.expectedWidth, c.expectedHeight));
        EXPECT_LT(worstBlockDifference(pattern_, frame, c.source), 3.0);
        int mismatches = 0;
        for (int y = 0; c.format == PixelFormat::bgra && c.width == 0 && y < frame.height; ++y)
            for (int x = 0; x < frame.width; ++x)
                mismatches += bgraAt(frame, x, y) != (0xff000000u | pattern_.at(c.source.x + x, c.source.y + y));
        EXPECT_EQ(mismatches, 0);
    }
}

TEST_F(X11DisplayCaptureTest, RefusesARectangleOffTheScreenOrAMissingDisplay)
{
    auto handler = [](const VideoFrame&) {};
    try {
        factory_->start(CaptureDisplay{4, screenWidth, 0, 100, 100}, configuration(0, 0, PixelFormat::nv12), queue_, handler);
        ADD_FAILURE() << "no CaptureError";
    } catch (const CaptureError& error) {
        EXPECT_NE(std::string(error.what()).find("outside"), std::string::npos) << error.what();
    }
    EXPECT_THROW(factory_->start(CaptureDisplay{5, -300, -300, 100, 100}, configuration(0, 0, PixelFormat::nv12), queue_, handler), CaptureError);
    X11DisplayCaptureFactory nowhere(":65000", clock_);
    EXPECT_THROW(nowhere.start(wholeScreen, configuration(0, 0, PixelFormat::nv12), queue_, handler), CaptureError);
    EXPECT_EQ(clock_->pendingTimers(), 0u);
}

TEST_F(X11DisplayCaptureTest, DeliversOnlyWantedChangesRequestsAndTheOccasionalRefresh)
{
    std::atomic<bool> wanted{true};
    auto settings = configuration(160, 120, PixelFormat::nv12);
    settings.wantsFrame = [&wanted](runtime::TimePoint) { return wanted.load(); };
    start(CaptureDisplay{6, 0, 0, 320, 240}, settings);
    ASSERT_EQ(tick(), 1u);
    const int ticksPerRefresh = static_cast<int>(X11DisplayCaptureFactory::refreshInterval / interval);
    // A still screen gives nothing until a second has passed since the last frame; a change
    // outside the rectangle is none of this stream's business; one inside, and a request, come
    // with the next tick, once.
    EXPECT_EQ(tick(ticksPerRefresh - 1), 1u);
    EXPECT_EQ(tick(), 2u);
    display_->draw(solidPicture(50, 50, 0x00ff00), 400, 300);
    EXPECT_EQ(tick(3), 2u);
    display_->draw(solidPicture(50, 50, 0xffffff), 10, 10);
    EXPECT_EQ(tick(), 3u);
    EXPECT_GT(means(log_.last(), 6, 6, 16, 16)[0], 230);
    EXPECT_EQ(tick(3), 3u);
    stream_->requestFrame();
    EXPECT_EQ(tick(), 4u);
    EXPECT_EQ(tick(3), 4u);
    // While no frame is wanted, neither a change, a request nor the refresh is grabbed; the
    // change seen meanwhile comes with the first tick that wants a frame, once.
    wanted = false;
    display_->draw(solidPicture(50, 50, 0x000000), 10, 10);
    stream_->requestFrame();
    EXPECT_EQ(tick(ticksPerRefresh + 2), 4u);
    wanted = true;
    ASSERT_EQ(tick(), 5u);
    EXPECT_LT(means(log_.last(), 6, 6, 16, 16)[0], 30);
    EXPECT_EQ(tick(3), 5u);
}

TEST_F(X11DisplayCaptureTest, CompositesTheCursorWhenShownAndFollowsIt)
{
    display_->draw(solidPicture(screenWidth, screenHeight, 0x808080), 0, 0);
    display_->warpPointer(200, 200);
    start(wholeScreen, configuration(0, 0, PixelFormat::bgra, true));
    const auto changedAround = [this](int centreX, int centreY) {
        const VideoFrame frame = log_.last();
        int changed = 0;
        for (int y = centreY - 16; y < centreY + 16; ++y)
            for (int x = centreX - 16; x < centreX + 16; ++x)
                changed += bgraAt(frame, x, y) != 0xff808080u;
        return changed;
    };
    ASSERT_EQ(tick(), 1u);
    EXPECT_TRUE(changedAround(200, 200) > 10 && changedAround(400, 300) == 0);
    EXPECT_EQ(tick(2), 1u);
    display_->warpPointer(400, 300);
    ASSERT_EQ(tick(), 2u);
    EXPECT_TRUE(changedAround(200, 200) == 0 && changedAround(400, 300) > 10);  // moving the pointer alone makes a frame
}

TEST_F(X11DisplayCaptureTest, SkipsFramesWhileConsumersHoldEveryBuffer)
{
    start(wholeScreen, configuration(320, 240, PixelFormat::nv12, false, 2), true);
    tick();
    stream_->requestFrame();
    ASSERT_EQ(tick(), 2u);
    stream_->requestFrame();
    tick(3);
    display_->draw(solidPicture(30, 30, 0xff0000), 0, 0);
    EXPECT_EQ(tick(3), 2u);
    // The change that was due is delivered as soon as a buffer is free.
    log_.release();
    EXPECT_EQ(tick(), 3u);
    EXPECT_NEAR(means(log_.last(), 2, 2, 10, 10)[2], expectedMeans(PixelFormat::nv12, 0xff0000)[2], 3);
}

TEST_F(X11DisplayCaptureTest, StopEndsDeliveryAndFramesOutliveTheStream)
{
    start(wholeScreen, configuration(320, 240, PixelFormat::bgra), true);
    ASSERT_EQ(tick(), 1u);
    stream_->stop();
    EXPECT_EQ(clock_->pendingTimers(), 0u);
    stream_->requestFrame();
    display_->draw(solidPicture(30, 30, 0xff0000), 0, 0);
    clock_->advance(5s);
    EXPECT_EQ(log_.count(), 1u);
    stream_.reset();
    // A held frame still reads its buffer, and lets it go after the stream (the sanitizer builds watch this).
    EXPECT_NE(bgraAt(log_.last(), 5, 5), 0xffff0000u);
    log_.release();
    // Stopping from inside the handler.
    int calls = 0;
    stream_ = factory_->start(wholeScreen, configuration(0, 0, PixelFormat::nv12), queue_, [&](const VideoFrame&) { ++calls, stream_->stop(); });
    clock_->advance(runtime::Duration::zero());
    clock_->advance(5s);
    EXPECT_EQ(std::make_pair(calls, clock_->pendingTimers()), std::make_pair(1, 0ul));
}

TEST_F(X11DisplayCaptureTest, AServerThatGoesAwayEndsDeliveryQuietly)
{
    start(wholeScreen, configuration(320, 240, PixelFormat::nv12));
    ASSERT_EQ(tick(), 1u);
    display_.reset();
    server_.reset();
    stream_->requestFrame();
    EXPECT_EQ(tick(40), 1u);
    EXPECT_EQ(clock_->pendingTimers(), 0u);
}

}  // namespace
}  // namespace kestrio::platform
