#include "platform/x11/x11_display_capture.h"
#include "runtime/serial_queue.h"
#include "support/frame_pixels.h"
#include "x11/x11_test_support.h"

#include <mutex>
#include <thread>

namespace kestrio::platform::x11 {
namespace {

using namespace capture;
using namespace std::chrono_literals;
using test::blockColour;
using test::shows;

constexpr int screenWidth = 640, screenHeight = 480;
constexpr auto interval = std::chrono::duration_cast<runtime::Duration>(std::chrono::nanoseconds(1'000'000'000 / 30));
constexpr CaptureDisplay wholeScreen{1, 0, 0, screenWidth, screenHeight};

std::function<std::uint32_t(int, int)> solid(std::uint32_t colour)
{
    return [colour](int, int) { return colour; };
}

class X11DisplayCaptureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_ = testing::startServer({screenWidth, screenHeight}));
        display_ = std::make_unique<testing::TestDisplay>(server_->displayName());
        ASSERT_TRUE(display_->connected());
        display_->draw(0, 0, screenWidth, screenHeight, blockColour);
        display_->warpPointer(screenWidth - 1, screenHeight - 1);  // where no test looks unless it means to
        factory_ = std::make_unique<X11DisplayCaptureFactory>(server_->displayName(), clock_, false);
    }
    // Delivered frames are held until release(), which gives their buffers back.
    void start(const CaptureDisplay& display, CaptureConfiguration configuration)
    {
        release();
        stream_ = factory_->start(display, configuration, queue_, [this](const VideoFrame& frame) {
            std::lock_guard lock(mutex_);
            kept_.push_back(frame);
        });
        started_ = false;
    }
    // Runs `count` ticks (the first at once) and returns how many frames are held.
    std::size_t tick(int count = 1)
    {
        for (; count > 0; --count, started_ = true)
            clock_->advance(started_ ? interval : runtime::Duration::zero());
        return std::lock_guard(mutex_), kept_.size();
    }
    VideoFrame last() { return std::lock_guard(mutex_), kept_.back(); }
    void release()
    {
        std::lock_guard lock(mutex_);
        kept_.clear();
    }

    std::unique_ptr<XvfbServer> server_;
    std::unique_ptr<testing::TestDisplay> display_;
    std::shared_ptr<runtime::VirtualClock> clock_ = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<runtime::SerialQueue> queue_ = runtime::SerialQueue::create("x11-capture-test");
    std::unique_ptr<X11DisplayCaptureFactory> factory_;
    std::mutex mutex_;
    std::vector<VideoFrame> kept_;
    bool started_ = false;
    std::unique_ptr<DisplayCaptureStream> stream_;  // goes first: the frames held outlive it
};

// The picture under the rectangle, through the server's shared memory; a rectangle over the
// edges gives only the part on the screen. (Scaling and conversion have tests of their own.)
TEST_F(X11DisplayCaptureTest, FramesAreThePictureUnderTheirRectangle)
{
    for (const auto& [source, width, height, format, expectedWidth, expectedHeight] :
         {std::tuple{wholeScreen, 320, 240, PixelFormat::nv12, 320, 240}, {CaptureDisplay{2, 120, 80, 200, 160}, 0, 0, PixelFormat::bgra, 200, 160},
          {CaptureDisplay{3, 600, 400, 200, 200}, 0, 0, PixelFormat::bgra, 40, 80}}) {
        SCOPED_TRACE(std::to_string(source.x) + "," + std::to_string(source.y) + " to " + std::to_string(expectedWidth) + "x" + std::to_string(expectedHeight));
        start(source, {width, height, format, interval, 5, false, {}, {}});
        ASSERT_EQ(tick(), 1u);
        const VideoFrame frame = last();
        ASSERT_EQ(std::make_tuple(frame.format, frame.width, frame.height), std::make_tuple(format, expectedWidth, expectedHeight));
        const int visibleWidth = std::min(source.width, screenWidth - source.x), visibleHeight = std::min(source.height, screenHeight - source.y);
        for (int y = 20; y < visibleHeight; y += 40)
            for (int x = 20; x < visibleWidth; x += 40)
                EXPECT_TRUE(shows(frame, x * frame.width / visibleWidth, y * frame.height / visibleHeight, blockColour(source.x + x, source.y + y))) << x << "," << y;
    }
}

// A change outside the rectangle is none of this stream's business; one inside comes with the
// next tick, once, and so does the one after it. The cursor's hot spot is drawn when it is shown,
// and moving the pointer alone makes a frame.
TEST_F(X11DisplayCaptureTest, DeliversChangesInsideItsRectangleAndCompositesTheCursorWhereItIs)
{
    start(CaptureDisplay{6, 0, 0, 320, 240}, {160, 120, PixelFormat::nv12, interval, 8, false, {}, {}});
    ASSERT_EQ(tick(), 1u);
    display_->draw(400, 300, 50, 50, solid(0x00ff00));
    EXPECT_EQ(tick(3), 1u);
    for (const std::uint32_t colour : {0xffffffu, 0u}) {
        display_->draw(10, 10, 50, 50, solid(colour));
        ASSERT_EQ(tick(3), colour ? 2u : 3u);
        EXPECT_TRUE(shows(last(), 10, 10, colour));
    }

    display_->draw(0, 0, screenWidth, screenHeight, solid(0x808080));
    display_->warpPointer(200, 200);
    start(wholeScreen, {0, 0, PixelFormat::bgra, interval, 5, true, {}, {}});
    ASSERT_EQ(tick(), 1u);
    EXPECT_TRUE(!shows(last(), 200, 200, 0x808080, 0) && shows(last(), 400, 300, 0x808080, 0));
    EXPECT_EQ(tick(2), 1u);
    display_->warpPointer(400, 300);
    ASSERT_EQ(tick(), 2u);
    EXPECT_TRUE(shows(last(), 200, 200, 0x808080, 0) && !shows(last(), 400, 300, 0x808080, 0));
}

// Reported between ticks, a change after a quiet moment is grabbed at once, without a tick of
// the clock.
TEST_F(X11DisplayCaptureTest, AChangeTheServerReportsBetweenTicksIsGrabbedAtOnce)
{
    factory_ = std::make_unique<X11DisplayCaptureFactory>(server_->displayName(), clock_);
    start(CaptureDisplay{7, 0, 0, 320, 240}, {160, 120, PixelFormat::bgra, interval, 8, false, {}, {}});
    ASSERT_EQ(tick(3), 1u);
    display_->draw(10, 10, 50, 50, solid(0xffffff));
    const auto held = [this] { return std::lock_guard(mutex_), kept_.size(); };
    for (int wait = 0; wait < 500 && held() < 2; ++wait)
        std::this_thread::sleep_for(10ms);  // for the server's report, not for the clock
    ASSERT_EQ(held(), 2u);
    EXPECT_TRUE(shows(last(), 10, 10, 0xffffff));
}

// Refused: a rectangle off the screen, a display that is not there. With its server gone, a
// stream delivers nothing more, leaves no timer and says once that the desktop went.
TEST_F(X11DisplayCaptureTest, RefusesWhatIsNotThereAndEndsDeliveryWhenTheServerGoes)
{
    std::vector<capture::CaptureEnd::Cause> ends;
    const CaptureConfiguration configuration{320, 240, PixelFormat::bgra, interval, 5, false, {},
                                             [&ends](const capture::CaptureEnd& end) { ends.push_back(end.cause); }};
    const auto handler = [](const VideoFrame&) {};
    for (const CaptureDisplay& offScreen : {CaptureDisplay{4, screenWidth, 0, 100, 100}, CaptureDisplay{5, -300, -300, 100, 100}})
        EXPECT_THROW(factory_->start(offScreen, configuration, queue_, handler), CaptureError);
    EXPECT_THROW(X11DisplayCaptureFactory(":65000", clock_).start(wholeScreen, configuration, queue_, handler), CaptureError);
    EXPECT_EQ(clock_->pendingTimers(), 0u);

    start(wholeScreen, configuration);
    ASSERT_EQ(tick(), 1u);
    display_.reset();
    server_.reset();
    stream_->requestFrame();
    EXPECT_EQ(tick(40), 1u);
    EXPECT_EQ(clock_->pendingTimers(), 0u);
    EXPECT_EQ(ends, std::vector{capture::CaptureEnd::Cause::desktopGone});
}

}  // namespace
}  // namespace kestrio::platform::x11
