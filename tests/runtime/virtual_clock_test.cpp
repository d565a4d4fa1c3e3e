#include "runtime/serial_queue.h"
#include "runtime/virtual_clock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kestrio::runtime {
namespace {

using namespace std::chrono_literals;
using Firing = std::pair<std::string, Duration>;

class VirtualClockTest : public ::testing::Test {
protected:
    // Records which timer ran at which virtual time.
    std::function<void()> entry(std::string name)
    {
        return [this, name = std::move(name)] { firings.emplace_back(name, clock->now().time_since_epoch()); };
    }

    std::unique_ptr<VirtualClock> clock = std::make_unique<VirtualClock>();
    std::shared_ptr<ManualExecutor> executor = std::make_shared<ManualExecutor>();
    std::vector<Firing> firings;
};

TEST_F(VirtualClockTest, FiresInDueOrderWithTiesInSchedulingOrderUnlessCancelledOrItsExecutorIsGone)
{
    clock->schedule(3s, executor, entry("c"));
    clock->schedule(1s, executor, entry("a"));
    clock->schedule(2s, executor, entry("b2"));
    clock->schedule(1s, executor, entry("a2"));
    clock->schedule(2s, executor, entry("b"));
    clock->schedule(-1s, executor, entry("overdue"));
    clock->schedule(1500ms, executor, entry("cancelled")).cancel();
    auto gone = std::make_shared<ManualExecutor>();
    auto witness = std::make_shared<int>();
    std::weak_ptr<int> goneTask = witness;
    clock->schedule(1s, gone, [witness = std::move(witness)] { FAIL() << "ran without its executor"; });
    gone.reset();
    EXPECT_EQ(clock->nextTimerIn(), 0s);

    clock->advance(5s);
    EXPECT_EQ(firings, (std::vector<Firing>{{"overdue", 0s}, {"a", 1s}, {"a2", 1s}, {"b2", 2s}, {"b", 2s}, {"c", 3s}}));
    EXPECT_EQ(clock->now().time_since_epoch(), 5s);
    EXPECT_EQ(clock->pendingTimers(), 0u);
    EXPECT_TRUE(goneTask.expired());
}

TEST_F(VirtualClockTest, TimerCancelledAfterFallingDueButBeforeItsExecutorRanItDoesNotRun)
{
    bool ran = false;
    TimerHandle racing;
    executor->post([&] {
        // Advancing from a task of the executor: the clock cannot run it here, so the timer's
        // task waits in the queue behind this one, and the cancel below comes first.
        racing = clock->schedule(1s, executor, [&] { ran = true; });
        clock->advance(2s);
        racing.cancel();
    });
    executor->runUntilIdle();
    EXPECT_FALSE(ran);
}

TEST_F(VirtualClockTest, AdvancingInStepsOrInOneGoRunsTheSameTimersAtTheSameTimes)
{
    // "tick" fires every 1.5 s until 6 s, each firing scheduling the next; "retry" at 0.45 s
    // schedules "retry-again" with no delay; "once" is due at 3 s, together with the second tick.
    auto run = [this](const std::vector<Duration>& steps) {
        clock = std::make_unique<VirtualClock>();
        firings.clear();
        std::function<void()> tick = [this, &tick] {
            entry("tick")();
            if (clock->now().time_since_epoch() < 6s)
                clock->schedule(1500ms, executor, tick);
        };
        clock->schedule(1500ms, executor, tick);
        clock->schedule(450ms, executor, [this] {
            entry("retry")();
            clock->schedule(0s, executor, entry("retry-again"));
        });
        clock->schedule(3s, executor, entry("once"));
        for (Duration step : steps)
            clock->advance(step);
        return firings;
    };
    const std::vector<Firing> expected{{"retry", 450ms}, {"retry-again", 450ms}, {"tick", 1500ms}, {"once", 3s},
                                       {"tick", 3s},     {"tick", 4500ms},      {"tick", 6s}};
    EXPECT_EQ(run({10s}), expected);
    EXPECT_EQ(run(std::vector<Duration>(100, 100ms)), expected);
    EXPECT_EQ(run({450ms, 0s, 1050ms, 1500ms, 7s}), expected);
}

TEST(ManualExecutorTest, NestedRunsLeaveTasksToTheOuterRun)
{
    ManualExecutor executor;
    std::vector<std::string> order;
    executor.post([&] {
        order.push_back("first");
        executor.post([&] { order.push_back("second"); });
        EXPECT_EQ(executor.runUntilIdle(), 0u);
        order.push_back(executor.isCurrent() ? "first still current" : "first lost its executor");
    });
    EXPECT_EQ(executor.runUntilIdle(), 2u);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "first still current", "second"}));
}

// Timers of the real clock fire once, on their executor.
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
