#include "capture/capture_ticker.h"
#include "runtime/serial_queue.h"
#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using namespace capture;
using namespace std::chrono_literals;

constexpr auto interval = std::chrono::duration_cast<runtime::Duration>(std::chrono::nanoseconds(1'000'000'000 / 30));
constexpr int ticksPerSecond = 30;

// A source as the backends write one, run through startTicking on the virtual clock; what it is
// asked is counted on the capture queue and read by the test once the clock has let that run.
struct Source {
    bool observe(bool& change)
    {
        ++observed;
        change = std::exchange(changed, false);
        return !gone;
    }
    std::optional<VideoFrame> grab() { return failing ? std::nullopt : std::optional(VideoFrame{}); }
    void close() { ++closed; }
    void rest() { ++rested; }
    bool news() { return hasNews; }

    bool changed = false, gone = false, failing = false, hasNews = true;
    int observed = 0, closed = 0, rested = 0;
};

struct CaptureTickerTest : ::testing::Test {
    void start(runtime::Duration minimumInterval = interval)
    {
        CaptureConfiguration configuration;
        configuration.minimumFrameInterval = minimumInterval;
        configuration.wantsFrame = [this](runtime::TimePoint) { return wanted; };
        stream = startTicking(source, configuration, clock, queue, [this](const VideoFrame& frame) {
            misstamped += frame.captureTime != clock->now();
            ++frames;
            if (stopInHandler)
                stream->stop();
        }, [this](std::function<void()> wake) { this->wake = std::move(wake); });
        clock->advance(runtime::Duration::zero());
    }
    // Runs `count` ticks; the frames delivered so far.
    int tick(int count = 1)
    {
        for (; count > 0; --count)
            clock->advance(interval);
        return frames;
    }
    // Wakes the ticker as the source's watch does on a change, and waits until the queue has taken it.
    int woken()
    {
        source->changed = true;
        wake();
        queue->sync();
        return frames;
    }

    std::shared_ptr<runtime::VirtualClock> clock = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<runtime::SerialQueue> queue = runtime::SerialQueue::create("ticker-test");
    std::shared_ptr<Source> source = std::make_shared<Source>();
    std::function<void()> wake;
    bool wanted = true, stopInHandler = false;
    int frames = 0, misstamped = 0;
    std::unique_ptr<DisplayCaptureStream> stream;
};

// What a tick grabs: a first picture, a changed or requested one, and a still one once a second
// (30 ticks of 1/30 s add up to a hair under it); nothing while no frame is wanted, and what was
// due then, once; a grab that fails leaves what was due for the next tick.
TEST_F(CaptureTickerTest, ATickGrabsOnlyWhatIsDueAndWantedAndKeepsWhatCouldNotBeTakenDue)
{
    enum : unsigned { change = 1, request = 2, unwanted = 4, failing = 8 };
    // What a step arranges, the ticks it runs and the frames delivered by its end.
    const std::tuple<const char*, unsigned, int, int> steps[] = {
        {"a still picture waits a second", 0, ticksPerSecond - 1, 1},
        {"and then comes again", 0, 1, 2},
        {"a change comes with the next tick, once", change, 3, 3},
        {"so does a request", request, 3, 4},
        {"nothing while no frame is wanted, not even the refresh", change | request | unwanted, ticksPerSecond + 2, 4},
        {"then what was due comes once", 0, 3, 5},
        {"a request whose grab failed", request | failing, 2, 5},
        {"comes with the next grab", 0, 3, 6},
        {"a change whose grab failed", change | failing, 2, 6},
        {"likewise", 0, 3, 7},
    };
    start();
    ASSERT_EQ(frames, 1) << "the first tick, at once";
    int ticks = 1;
    for (const auto& [what, flags, count, delivered] : steps) {
        SCOPED_TRACE(what);
        queue->sync();
        wanted = !(flags & unwanted);
        source->failing = flags & failing;
        source->changed = flags & change;
        if (flags & request)
            stream->requestFrame();
        EXPECT_EQ(tick(count), delivered);
        ticks += count;
    }
    EXPECT_EQ(misstamped, 0) << "frames carry the time of their tick";
    EXPECT_EQ(std::make_pair(source->observed, source->rested), std::make_pair(ticks, ticks));
}

// A wake after a quiet moment grabs at once and the cadence goes on from there; right after a
// frame it waits for the next tick; a source without news is not asked anything.
TEST_F(CaptureTickerTest, AWakeTicksAsSoonAsTheIntervalSinceTheLastFrameAllows)
{
    start();
    tick(3);
    clock->advance(interval / 2);
    EXPECT_EQ(woken(), 2);
    EXPECT_EQ(source->observed, 5);
    clock->advance(interval / 2);
    EXPECT_EQ(source->observed, 5) << "no tick half an interval after the wake";
    EXPECT_EQ(woken(), 2);
    EXPECT_EQ(tick(), 3);
    tick(2);
    clock->advance(interval / 4);
    source->hasNews = false;
    EXPECT_EQ(woken(), 3);
    EXPECT_EQ(source->observed, 8);
    source->hasNews = true;
    EXPECT_EQ(woken(), 4);
}

// An interval of zero ticks at 60 a second. However it ends — stopped twice, from the handler, or
// with the source gone — delivery stops, no timer is left, and the source is closed once, at the
// stop, and asked nothing after it.
TEST_F(CaptureTickerTest, StoppedOrWithItsSourceGoneTheTickerDeliversNothingMoreAndLeavesNoTimer)
{
    for (const auto how : {"stopped", "from the handler", "source gone"}) {
        SCOPED_TRACE(how);
        source = std::make_shared<Source>();
        frames = 0;
        stopInHandler = how == std::string_view("from the handler");
        start(runtime::Duration::zero());
        clock->advance(std::chrono::duration_cast<runtime::Duration>(1s) / 60);
        EXPECT_EQ(source->observed, stopInHandler ? 1 : 2);
        const bool gone = how == std::string_view("source gone");
        source->gone = gone;
        if (how == std::string_view("stopped"))
            stream->stop(), stream->stop();
        stream->requestFrame();
        source->changed = true;
        clock->advance(5s);
        woken();
        EXPECT_EQ(std::make_tuple(frames, clock->pendingTimers(), source->closed, source->rested), std::make_tuple(1, 0u, gone ? 0 : 1, stopInHandler ? 0 : 2));
        stream.reset();
        EXPECT_EQ(source->closed, 1);
    }
}

}  // namespace
}  // namespace kestrio::test
