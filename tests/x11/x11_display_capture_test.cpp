#include "platform/x11/x11_display_capture.h"
#include "runtime/serial_queue.h"
#include "x11/x11_test_support.h"

#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

namespace kestrio::platform::x11 {
namespace {

using namespace capture;
using namespace std::chrono_literals;

constexpr int screenWidth = 640, screenHeight = 480;
constexpr auto interval = std::chrono::duration_cast<runtime::Duration>(std::chrono::nanoseconds(1'000'000'000 / 30));
constexpr CaptureDisplay wholeScreen{1, 0, 0, screenWidth, screenHeight};

// 40-pixel blocks, each of its own colour, so that scaled copies compare by block and offsets
// show as shifted blocks.
std::uint32_t blockColour(int x, int y)
{
    return static_cast<std::uint32_t>((y / 40) * 1000 + x / 40) * 2654435761u >> 8;
}

std::function<std::uint32_t(int, int)> solid(std::uint32_t colour)
{
    return [colour](int, int) { return colour; };
}

// Whether the frame shows 0xRRGGBB at a point, within `tolerance` of each of blue, green and red
// (BGRA) or of luma, Cb and Cr (NV12, video-range BT.601).
bool shows(const VideoFrame& frame, int x, int y, std::uint32_t rgb, int tolerance = 3)
{
    const double r = (rgb >> 16) & 0xff, g = (rgb >> 8) & 0xff, b = rgb & 0xff;
    const bool bgra = frame.format == PixelFormat::bgra;
    const std::uint8_t* at = frame.planes[0] + y * frame.strides[0] + x * (bgra ? 4 : 1);
    const std::uint8_t* chroma = bgra ? at + 1 : frame.planes[1] + y / 2 * frame.strides[1] + x / 2 * 2;
    const double expected[] = {bgra ? b : 16 + 0.257 * r + 0.504 * g + 0.098 * b, bgra ? g : 128 - 0.148 * r - 0.291 * g + 0.439 * b, bgra ? r : 128 + 0.439 * r - 0.368 * g - 0.071 * b};
    return std::abs(at[0] - std::lround(expected[0])) <= tolerance && std::abs(chroma[0] - std::lround(expected[1])) <= tolerance && std::abs(chroma[1] - std::lround(expected[2])) <= tolerance;
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

// NV12 at 320x240 and 400x300 goes through the downscaler; at 240x180, under half across,
// through libyuv's scaling. A rectangle over the edges gives only the part on the screen.
TEST_F(X11DisplayCaptureTest, FramesAreThePictureUnderTheirRectangleScaledAndConverted)
{
    for (const auto& [source, width, height, format, expectedWidth, expectedHeight] :
         {std::tuple{wholeScreen, 0, 0, PixelFormat::bgra, screenWidth, screenHeight}, {wholeScreen, 320, 240, PixelFormat::bgra, 320, 240},
          {wholeScreen, 0, 0, PixelFormat::nv12, screenWidth, screenHeight}, {wholeScreen, 320, 240, PixelFormat::nv12, 320, 240},
          {wholeScreen, 400, 300, PixelFormat::nv12, 400, 300}, {wholeScreen, 240, 180, PixelFormat::nv12, 240, 180},
          {CaptureDisplay{2, 120, 80, 200, 160}, 0, 0, PixelFormat::bgra, 200, 160}, {CaptureDisplay{3, 600, 400, 200, 200}, 0, 0, PixelFormat::bgra, 40, 80}}) {
        SCOPED_TRACE(std::to_string(source.x) + "," + std::to_string(source.y) + " to " + std::to_string(expectedWidth) + "x" + std::to_string(expectedHeight) + (format == PixelFormat::nv12 ? " nv12" : " bgra"));
        start(source, {width, height, format, interval, 5, false, {}});
        ASSERT_EQ(tick(), 1u);
        const VideoFrame frame = last();
        ASSERT_EQ(std::make_tuple(frame.format, frame.width, frame.height), std::make_tuple(format, expectedWidth, expectedHeight));
        // Each block's centre, then every pixel where nothing was scaled.
        const int visibleWidth = std::min(source.width, screenWidth - source.x), visibleHeight = std::min(source.height, screenHeight - source.y);
        for (int y = 20; y < visibleHeight; y += 40)
            for (int x = 20; x < visibleWidth; x += 40)
                EXPECT_TRUE(shows(frame, x * frame.width / visibleWidth, y * frame.height / visibleHeight, blockColour(source.x + x, source.y + y))) << x << "," << y;
        int mismatches = 0;
        for (int y = 0; format == PixelFormat::bgra && width == 0 && y < frame.height; ++y)
            for (int x = 0; x < frame.width; ++x)
                mismatches += !shows(frame, x, y, blockColour(source.x + x, source.y + y), 0);
        EXPECT_EQ(mismatches, 0);
    }
}

// A still screen gives nothing until a second has passed since the last frame; a change outside
// the rectangle is none of this stream's business; one inside, and a request, come with the
// next tick, once. While no frame is wanted, neither a change, a request nor the refresh is
// grabbed; the change seen meanwhile comes with the first tick that wants a frame, once. The
// cursor's hot spot is drawn when it is shown, and moving the pointer alone makes a frame.
TEST_F(X11DisplayCaptureTest, DeliversOnlyWantedChangesRequestsAndTheOccasionalRefreshAndCompositesTheCursorWhereItIs)
{
    std::atomic<bool> wanted{true};
    start(CaptureDisplay{6, 0, 0, 320, 240}, {160, 120, PixelFormat::nv12, interval, 8, false, [&wanted](runtime::TimePoint) { return wanted.load(); }});
    ASSERT_EQ(tick(), 1u);
    const int ticksPerRefresh = static_cast<int>(X11DisplayCaptureFactory::refreshInterval / interval);
    EXPECT_EQ(tick(ticksPerRefresh - 1), 1u);
    EXPECT_EQ(tick(), 2u);
    display_->draw(400, 300, 50, 50, solid(0x00ff00));
    EXPECT_EQ(tick(3), 2u);
    display_->draw(10, 10, 50, 50, solid(0xffffff));
    EXPECT_EQ(tick(), 3u);
    EXPECT_TRUE(shows(last(), 10, 10, 0xffffff));
    EXPECT_EQ(tick(3), 3u);
    stream_->requestFrame();
    EXPECT_EQ(tick(), 4u);
    EXPECT_EQ(tick(3), 4u);
    wanted = false;
    display_->draw(10, 10, 50, 50, solid(0));
    stream_->requestFrame();
    EXPECT_EQ(tick(ticksPerRefresh + 2), 4u);
    wanted = true;
    ASSERT_EQ(tick(), 5u);
    EXPECT_TRUE(shows(last(), 10, 10, 0));
    EXPECT_EQ(tick(3), 5u);

    display_->draw(0, 0, screenWidth, screenHeight, solid(0x808080));
    display_->warpPointer(200, 200);
    start(wholeScreen, {0, 0, PixelFormat::bgra, interval, 5, true, {}});
    ASSERT_EQ(tick(), 1u);
    EXPECT_TRUE(!shows(last(), 200, 200, 0x808080, 0) && shows(last(), 400, 300, 0x808080, 0));
    EXPECT_EQ(tick(2), 1u);
    display_->warpPointer(400, 300);
    ASSERT_EQ(tick(), 2u);
    EXPECT_TRUE(shows(last(), 200, 200, 0x808080, 0) && !shows(last(), 400, 300, 0x808080, 0));
}

// Reported between ticks, a change after a quiet moment is grabbed at once, without a tick of
// the clock; one right after a frame waits until the interval since it has passed.
TEST_F(X11DisplayCaptureTest, AChangeTheServerReportsBetweenTicksIsGrabbedAsSoonAsTheIntervalAllows)
{
    factory_ = std::make_unique<X11DisplayCaptureFactory>(server_->displayName(), clock_);
    start(CaptureDisplay{7, 0, 0, 320, 240}, {160, 120, PixelFormat::bgra, interval, 8, false, {}});
    ASSERT_EQ(tick(3), 1u);
    display_->draw(10, 10, 50, 50, solid(0xffffff));
    const auto held = [this] { return std::lock_guard(mutex_), kept_.size(); };
    for (int wait = 0; wait < 500 && held() < 2; ++wait)
        std::this_thread::sleep_for(10ms);  // for the server's report, not for the clock
    ASSERT_EQ(held(), 2u);
    EXPECT_TRUE(shows(last(), 10, 10, 0xffffff));
    display_->draw(10, 10, 50, 50, solid(0));
    queue_->sync();
    clock_->advance(interval);
    EXPECT_EQ(held(), 3u);
    EXPECT_TRUE(shows(last(), 10, 10, 0));
}

// While consumers hold every buffer, frames are skipped; a due change or request comes once one
// is free. Refused: a rectangle off the screen, a display that is not there. Stopped, from outside
// or from the handler, or with its server gone, a stream delivers nothing more and leaves no
// timer; a held frame still reads its buffer after the stream (the sanitizer builds watch this).
TEST_F(X11DisplayCaptureTest, SkipsFramesWhileEveryBufferIsHeldRefusesWhatIsNotThereAndEndsDeliveryOnStopOrWhenTheServerGoes)
{
    start(wholeScreen, {320, 240, PixelFormat::nv12, interval, 2, false, {}});
    for (const bool request : {false, true}) {  // what is due: a change, then a request
        tick();
        stream_->requestFrame();
        ASSERT_EQ(tick(), 2u);
        request ? stream_->requestFrame() : display_->draw(0, 0, 30, 30, solid(0xff0000));
        EXPECT_EQ(tick(3), 2u);
        release();
        EXPECT_EQ(tick(), 1u) << request;
    }
    stream_->stop();
    stream_->requestFrame();
    display_->draw(0, 0, 30, 30, solid(0x0000ff));
    clock_->advance(5s);
    EXPECT_EQ(tick(), 1u);
    EXPECT_EQ(clock_->pendingTimers(), 0u);
    stream_.reset();
    EXPECT_TRUE(shows(last(), 4, 4, 0xff0000));

    const CaptureConfiguration configuration{320, 240, PixelFormat::bgra, interval, 5, false, {}};
    const auto handler = [](const VideoFrame&) {};
    for (const CaptureDisplay& offScreen : {CaptureDisplay{4, screenWidth, 0, 100, 100}, CaptureDisplay{5, -300, -300, 100, 100}})
        EXPECT_THROW(factory_->start(offScreen, configuration, queue_, handler), CaptureError);
    EXPECT_THROW(X11DisplayCaptureFactory(":65000", clock_).start(wholeScreen, configuration, queue_, handler), CaptureError);
    EXPECT_EQ(clock_->pendingTimers(), 0u);

    int calls = 0;
    stream_ = factory_->start(wholeScreen, configuration, queue_, [&](const VideoFrame&) { ++calls, stream_->stop(); });
    clock_->advance(runtime::Duration::zero());
    clock_->advance(5s);
    EXPECT_EQ(std::make_pair(calls, clock_->pendingTimers()), std::make_pair(1, 0ul));

    start(wholeScreen, configuration);
    ASSERT_EQ(tick(), 1u);
    display_.reset();
    server_.reset();
    stream_->requestFrame();
    EXPECT_EQ(tick(40), 1u);
    EXPECT_EQ(clock_->pendingTimers(), 0u);
}

}  // namespace
}  // namespace kestrio::platform::x11
