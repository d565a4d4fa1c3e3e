#include "platform/x11/x11_display_capture.h"
#include "platform/x11/xvfb_server.h"
#include "runtime/serial_queue.h"
#include "runtime/virtual_clock.h"
#include "x11/x11_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

namespace kestrio::platform {
namespace {

using capture::CaptureConfiguration;
using capture::CaptureDisplay;
using capture::CaptureError;
using capture::PixelFormat;
using capture::VideoFrame;
using namespace std::chrono_literals;
using testing::FrameCopy;
using testing::FrameLog;
using testing::Picture;

constexpr int screenWidth = 640;
constexpr int screenHeight = 480;
constexpr auto interval = std::chrono::duration_cast<runtime::Duration>(std::chrono::nanoseconds(1'000'000'000 / 30));

class X11DisplayCaptureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        XvfbServer::Options options;
        options.initialSize = {screenWidth, screenHeight};
        server_ = XvfbServer::start(options, error);
        ASSERT_TRUE(server_) << error;
        server_->authorizeThisProcess();
        display_ = std::make_unique<testing::TestDisplay>(server_->displayName());
        ASSERT_TRUE(display_->connected());
        pattern_ = testing::blockPattern(screenWidth, screenHeight, 40);
        display_->draw(pattern_, 0, 0);
        // Put the pointer where no test looks unless it means to.
        display_->warpPointer(screenWidth - 1, screenHeight - 1);
        queue_ = runtime::SerialQueue::create("x11-capture-test");
        factory_ = std::make_unique<X11DisplayCaptureFactory>(server_->displayName(), clock_);
    }

    void TearDown() override
    {
        if (stream_)
            stream_->stop();
        if (queue_)
            queue_->shutdown();
    }

    static CaptureConfiguration configuration(int width, int height, PixelFormat format, bool showsCursor = false)
    {
        CaptureConfiguration result;
        result.width = width;
        result.height = height;
        result.pixelFormat = format;
        result.minimumFrameInterval = interval;
        result.showsCursor = showsCursor;
        return result;
    }

    void start(const CaptureDisplay& display, const CaptureConfiguration& configuration, bool keepFrames = false)
    {
        stream_ = factory_->start(display, configuration, queue_,
                                  [this, keepFrames](const VideoFrame& frame) { log_.add(frame, keepFrames); });
    }

    // Runs one tick; the first runs at once.
    void tick(int count = 1)
    {
        for (int i = 0; i < count; ++i)
            clock_->advance(started_ ? interval : runtime::Duration::zero());
        started_ = true;
    }

    static CaptureDisplay wholeScreen() { return CaptureDisplay{1, 0, 0, screenWidth, screenHeight}; }

    std::unique_ptr<XvfbServer> server_;
    std::unique_ptr<testing::TestDisplay> display_;
    Picture pattern_;
    std::shared_ptr<runtime::VirtualClock> clock_ = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<runtime::SerialQueue> queue_;
    std::unique_ptr<X11DisplayCaptureFactory> factory_;
    std::unique_ptr<capture::DisplayCaptureStream> stream_;
    FrameLog log_;
    bool started_ = false;
};

// Compares 40-pixel blocks of the drawn picture under the captured rectangle with the frame's
// blocks, away from the block edges that filtering blends.
double worstBlockDifference(const Picture& pattern, const FrameCopy& frame, const CaptureDisplay& source)
{
    const double scaleX = static_cast<double>(frame.width) / std::min(source.width, screenWidth - source.x);
    const double scaleY = static_cast<double>(frame.height) / std::min(source.height, screenHeight - source.y);
    double worst = 0;
    for (int blockY = 0; blockY + 40 <= frame.height / scaleY; blockY += 40) {
        for (int blockX = 0; blockX + 40 <= frame.width / scaleX; blockX += 40) {
            const std::uint32_t colour = pattern.at(source.x + blockX + 20, source.y + blockY + 20);
            const int x = static_cast<int>(std::ceil((blockX + 6) * scaleX)) & ~1;
            const int y = static_cast<int>(std::ceil((blockY + 6) * scaleY)) & ~1;
            const int width = static_cast<int>(28 * scaleX) & ~1;
            const int height = static_cast<int>(28 * scaleY) & ~1;
            if (frame.format == PixelFormat::bgra) {
                for (int channel = 0; channel < 3; ++channel) {
                    double expected = (colour >> (8 * channel)) & 0xff;
                    worst = std::max(worst, std::abs(testing::meanBgraChannel(frame, channel, x, y, width, height) - expected));
                }
            } else {
                auto expected = testing::toVideoRangeYuv(colour);
                auto actual = testing::meanNv12(frame, x, y, width, height);
                worst = std::max({worst, std::abs(actual.y - expected.y), std::abs(actual.u - expected.u),
                                  std::abs(actual.v - expected.v)});
            }
        }
    }
    return worst;
}

TEST_F(X11DisplayCaptureTest, FramesAreThePictureUnderTheirRectangleScaledAndConverted)
{
    struct Case {
        CaptureDisplay source;
        int width;
        int height;
        PixelFormat format;
        int expectedWidth;
        int expectedHeight;
    };
    // NV12 at 320x240 and 400x300 goes through the downscaler; at 240x180, under half across,
    // through libyuv's scaling.
    for (Case c : {Case{wholeScreen(), 0, 0, PixelFormat::bgra, screenWidth, screenHeight},
                   Case{wholeScreen(), 320, 240, PixelFormat::bgra, 320, 240},
                   Case{wholeScreen(), 0, 0, PixelFormat::nv12, screenWidth, screenHeight},
                   Case{wholeScreen(), 320, 240, PixelFormat::nv12, 320, 240},
                   Case{wholeScreen(), 400, 300, PixelFormat::nv12, 400, 300},
                   Case{wholeScreen(), 240, 180, PixelFormat::nv12, 240, 180},
                   Case{CaptureDisplay{2, 120, 80, 200, 160}, 0, 0, PixelFormat::bgra, 200, 160},
                   // Hanging over the edges: only the part on the screen.
                   Case{CaptureDisplay{3, 600, 400, 200, 200}, 0, 0, PixelFormat::bgra, 40, 80}}) {
        SCOPED_TRACE(std::to_string(c.source.x) + "," + std::to_string(c.source.y) + " to " + std::to_string(c.expectedWidth) +
                     "x" + std::to_string(c.expectedHeight) + (c.format == PixelFormat::nv12 ? " nv12" : " bgra"));
        FrameLog log;
        auto stream = factory_->start(c.source, configuration(c.width, c.height, c.format), queue_,
                                      [&log](const VideoFrame& frame) { log.add(frame); });
        clock_->advance(runtime::Duration::zero());
        stream->stop();
        ASSERT_EQ(log.count(), 1u);
        FrameCopy frame = log.last();
        EXPECT_EQ(frame.format, c.format);
        ASSERT_EQ(frame.width, c.expectedWidth);
        ASSERT_EQ(frame.height, c.expectedHeight);
        EXPECT_LT(worstBlockDifference(pattern_, frame, c.source), 3.0);
        if (c.format == PixelFormat::bgra && c.width == 0) {
            int mismatches = 0;
            for (int y = 0; y < frame.height; ++y)
                for (int x = 0; x < frame.width; ++x)
                    mismatches += frame.bgraAt(x, y) != (0xff000000u | pattern_.at(c.source.x + x, c.source.y + y));
            EXPECT_EQ(mismatches, 0);
        }
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
    EXPECT_THROW(factory_->start(CaptureDisplay{5, -300, -300, 100, 100}, configuration(0, 0, PixelFormat::nv12), queue_, handler),
                 CaptureError);
    X11DisplayCaptureFactory nowhere(":65000", clock_);
    EXPECT_THROW(nowhere.start(wholeScreen(), configuration(0, 0, PixelFormat::nv12), queue_, handler), CaptureError);
    EXPECT_EQ(clock_->pendingTimers(), 0u);
}

TEST_F(X11DisplayCaptureTest, DeliversOnlyWantedChangesRequestsAndTheOccasionalRefresh)
{
    std::atomic<bool> wanted{true};
    auto settings = configuration(160, 120, PixelFormat::nv12);
    settings.wantsFrame = [&wanted](runtime::TimePoint) { return wanted.load(); };
    start(CaptureDisplay{6, 0, 0, 320, 240}, settings);
    tick();
    ASSERT_EQ(log_.count(), 1u);

    // Still screen: nothing until a second has passed since the last frame.
    const int ticksPerRefresh = static_cast<int>(X11DisplayCaptureFactory::refreshInterval / interval);
    tick(ticksPerRefresh - 1);
    EXPECT_EQ(log_.count(), 1u);
    tick();
    EXPECT_EQ(log_.count(), 2u);

    // A change outside the rectangle is none of this stream's business.
    display_->draw(testing::solidPicture(50, 50, 0x00ff00), 400, 300);
    tick(3);
    EXPECT_EQ(log_.count(), 2u);

    // A change inside comes with the next tick, once.
    display_->draw(testing::solidPicture(50, 50, 0xffffff), 10, 10);
    tick();
    EXPECT_EQ(log_.count(), 3u);
    EXPECT_GT(testing::meanNv12(log_.last(), 6, 6, 16, 16).y, 230);
    tick(3);
    EXPECT_EQ(log_.count(), 3u);

    stream_->requestFrame();
    tick();
    EXPECT_EQ(log_.count(), 4u);
    tick(3);
    EXPECT_EQ(log_.count(), 4u);

    // While no frame is wanted, neither a change, a request nor the refresh is grabbed; the
    // change seen meanwhile comes with the first tick that wants a frame, once.
    wanted = false;
    display_->draw(testing::solidPicture(50, 50, 0x000000), 10, 10);
    stream_->requestFrame();
    tick(ticksPerRefresh + 2);
    EXPECT_EQ(log_.count(), 4u);
    wanted = true;
    tick();
    ASSERT_EQ(log_.count(), 5u);
    EXPECT_LT(testing::meanNv12(log_.last(), 6, 6, 16, 16).y, 30);
    tick(3);
    EXPECT_EQ(log_.count(), 5u);
}

TEST_F(X11DisplayCaptureTest, CompositesTheCursorWhenShownAndFollowsIt)
{
    display_->draw(testing::solidPicture(screenWidth, screenHeight, 0x808080), 0, 0);
    display_->warpPointer(200, 200);
    start(wholeScreen(), configuration(0, 0, PixelFormat::bgra, true));
    tick();
    ASSERT_EQ(log_.count(), 1u);
    auto changedAround = [](const FrameCopy& frame, int centreX, int centreY) {
        int changed = 0;
        for (int y = centreY - 16; y < centreY + 16; ++y)
            for (int x = centreX - 16; x < centreX + 16; ++x)
                changed += frame.bgraAt(x, y) != 0xff808080u;
        return changed;
    };
    FrameCopy frame = log_.last();
    EXPECT_GT(changedAround(frame, 200, 200), 10);
    EXPECT_EQ(changedAround(frame, 400, 300), 0);

    // Moving the pointer alone makes a frame, with the cursor at its new place.
    tick(2);
    EXPECT_EQ(log_.count(), 1u);
    display_->warpPointer(400, 300);
    tick();
    ASSERT_EQ(log_.count(), 2u);
    frame = log_.last();
    EXPECT_EQ(changedAround(frame, 200, 200), 0);
    EXPECT_GT(changedAround(frame, 400, 300), 10);
}

TEST_F(X11DisplayCaptureTest, SkipsFramesWhileConsumersHoldEveryBuffer)
{
    auto settings = configuration(320, 240, PixelFormat::nv12);
    settings.queueDepth = 2;
    start(wholeScreen(), settings, true);
    tick();
    stream_->requestFrame();
    tick();
    ASSERT_EQ(log_.count(), 2u);

    stream_->requestFrame();
    tick(3);
    display_->draw(testing::solidPicture(30, 30, 0xff0000), 0, 0);
    tick(3);
    EXPECT_EQ(log_.count(), 2u);

    // The change that was due is delivered as soon as a buffer is free.
    log_.releaseKept();
    tick();
    EXPECT_EQ(log_.count(), 3u);
    EXPECT_NEAR(testing::meanNv12(log_.last(), 2, 2, 10, 10).v, testing::toVideoRangeYuv(0xff0000).v, 3);
}

TEST_F(X11DisplayCaptureTest, StopEndsDeliveryAndFramesOutliveTheStream)
{
    start(wholeScreen(), configuration(320, 240, PixelFormat::bgra), true);
    tick();
    ASSERT_EQ(log_.count(), 1u);
    stream_->stop();
    EXPECT_EQ(clock_->pendingTimers(), 0u);
    stream_->requestFrame();
    display_->draw(testing::solidPicture(30, 30, 0xff0000), 0, 0);
    clock_->advance(5s);
    EXPECT_EQ(log_.count(), 1u);
    stream_.reset();
    // A kept frame still reads its buffer (the sanitizer builds watch this).
    log_.releaseKept();

    // Stopping from inside the handler.
    std::unique_ptr<capture::DisplayCaptureStream> stream;
    int calls = 0;
    stream = factory_->start(wholeScreen(), configuration(0, 0, PixelFormat::nv12), queue_, [&](const VideoFrame&) {
        ++calls;
        stream->stop();
    });
    clock_->advance(runtime::Duration::zero());
    clock_->advance(5s);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(clock_->pendingTimers(), 0u);
}

TEST_F(X11DisplayCaptureTest, AServerThatGoesAwayEndsDeliveryQuietly)
{
    start(wholeScreen(), configuration(320, 240, PixelFormat::nv12));
    tick();
    ASSERT_EQ(log_.count(), 1u);
    display_.reset();
    server_.reset();
    stream_->requestFrame();
    tick(40);
    EXPECT_EQ(log_.count(), 1u);
    EXPECT_EQ(clock_->pendingTimers(), 0u);
    stream_->stop();
}

}  // namespace
}  // namespace kestrio::platform
