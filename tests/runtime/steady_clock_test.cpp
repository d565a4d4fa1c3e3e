#include "runtime/clock.h"
#include "runtime/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

namespace kestrio::runtime {
namespace {

using namespace std::chrono_literals;

TEST(SteadyClockTest, FiresAShortTimerOnceOnItsExecutor)
{
    auto clock = makeSteadyClock();
    auto queue = SerialQueue::create("test.steady");
    std::atomic<int> firings{0};
    std::promise<bool> fired;
    clock->schedule(1ms, queue, [&] {
        if (++firings == 1)
            fired.set_value(queue->isCurrent());
    });
    EXPECT_TRUE(fired.get_future().get());

    // Timers fall due in order: once a later one has run, a second firing would have shown.
    std::promise<void> later;
    clock->schedule(5ms, queue, [&] { later.set_value(); });
    later.get_future().wait();
    queue->sync();
    EXPECT_EQ(firings, 1);
}

}  // namespace
}  // namespace kestrio::runtime
