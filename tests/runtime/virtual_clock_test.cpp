#include "runtime/serial_queue.h"
#include "runtime/virtual_clock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kestrio::runtime {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::Pair;

using Firing = std::pair<std::string, Duration>;

// Records which timer ran at which virtual time; may be called from a queue's thread.
class FiringLog {
public:
    explicit FiringLog(VirtualClock& clock) : clock_(clock) {}

    std::function<void()> entry(std::string name)
    {
        return [this, name = std::move(name)] { add(name); };
    }
    void add(const std::string& name)
    {
        std::lock_guard lock(mutex_);
        firings_.emplace_back(name, clock_.now().time_since_epoch());
    }
    std::vector<Firing> firings() const
    {
        std::lock_guard lock(mutex_);
        return firings_;
    }

private:
    VirtualClock& clock_;
    mutable std::mutex mutex_;
    std::vector<Firing> firings_;
};

TEST(VirtualClockTest, FiresInDueOrderWithTiesInSchedulingOrder)
{
    VirtualClock clock;
    auto executor = std::make_shared<ManualExecutor>();
    FiringLog log(clock);
    clock.schedule(3s, executor, log.entry("c"));
    clock.schedule(1s, executor, log.entry("a"));
    clock.schedule(2s, executor, log.entry("b2"));
    clock.schedule(1s, executor, log.entry("a2"));
    clock.schedule(2s, executor, log.entry("b"));
    clock.schedule(-1s, executor, log.entry("overdue"));
    EXPECT_EQ(clock.nextTimerIn(), 0s);

    clock.advance(5s);
    EXPECT_THAT(log.firings(), ElementsAre(Pair("overdue", 0s), Pair("a", 1s), Pair("a2", 1s), Pair("b2", 2s),
                                           Pair("b", 2s), Pair("c", 3s)));
    EXPECT_EQ(clock.now().time_since_epoch(), 5s);
    EXPECT_EQ(clock.pendingTimers(), 0u);
}

TEST(VirtualClockTest, CancelledTimersDoNotRun)
{
    VirtualClock clock;
    auto executor = std::make_shared<ManualExecutor>();
    FiringLog log(clock);
    auto early = clock.schedule(1s, executor, log.entry("early"));
    clock.schedule(4s, executor, log.entry("late"));
    early.cancel();
    EXPECT_EQ(clock.pendingTimers(), 1u);
    EXPECT_EQ(clock.nextTimerIn(), 4s);

    // Cancelled after falling due but before its executor ran it.
    auto other = std::make_shared<ManualExecutor>();
    bool otherRan = false;
    std::function<void()> racingTask = [&] { otherRan = true; };
    TimerHandle racing;
    other->post([&] {
        // Advancing from a task of `other`: the clock cannot run `other` here, so the timer's
        // task waits in the queue behind this one, and the cancel below comes first.
        racing = clock.schedule(1s, other, racingTask);
        clock.advance(2s);
        racing.cancel();
    });
    other->runUntilIdle();
    EXPECT_FALSE(otherRan);
    EXPECT_TRUE(log.firings().empty());

    clock.advance(2s);
    EXPECT_THAT(log.firings(), ElementsAre(Pair("late", 4s)));
    racing.cancel();
}

// "tick" fires every 1.5 s until 6 s, each firing scheduling the next; "retry" at 0.45 s
// schedules "retry-again" with no delay; "once" is due at 3 s, together with the second tick.
std::vector<Firing> runChain(std::shared_ptr<Executor> executor, const std::vector<Duration>& steps)
{
    VirtualClock clock;
    FiringLog log(clock);
    std::function<void()> tick = [&clock, executor, &log, &tick] {
        log.add("tick");
        if (clock.now().time_since_epoch() < 6s)
            clock.schedule(1500ms, executor, tick);
    };
    clock.schedule(1500ms, executor, tick);
    clock.schedule(450ms, executor, [&clock, executor, &log] {
        log.add("retry");
        clock.schedule(0s, executor, [&log] { log.add("retry-again"); });
    });
    clock.schedule(3s, executor, log.entry("once"));
    for (Duration step : steps)
        clock.advance(step);
    return log.firings();
}

TEST(VirtualClockTest, AdvancingInStepsOrInOneGoRunsTheSameTimersAtTheSameTimes)
{
    const std::vector<Firing> expected{{"retry", 450ms}, {"retry-again", 450ms}, {"tick", 1500ms},
                                       {"once", 3s},     {"tick", 3s},          {"tick", 4500ms},
                                       {"tick", 6s}};
    auto executor = std::make_shared<ManualExecutor>();
    EXPECT_EQ(runChain(executor, {10s}), expected);
    EXPECT_EQ(runChain(executor, std::vector<Duration>(100, 100ms)), expected);
    EXPECT_EQ(runChain(executor, {450ms, 0s, 1050ms, 1500ms, 7s}), expected);

    auto queue = SerialQueue::create("test.clock");
    EXPECT_EQ(runChain(queue, {10s}), expected);
    EXPECT_EQ(runChain(queue, std::vector<Duration>(20, 500ms)), expected);
}

TEST(VirtualClockTest, TimerOfAGoneExecutorIsDroppedUnrun)
{
    VirtualClock clock;
    auto executor = std::make_shared<ManualExecutor>();
    auto witness = std::make_shared<int>();
    std::weak_ptr<int> task = witness;
    bool ran = false;
    clock.schedule(1s, executor, [&ran, witness = std::move(witness)] { ran = true; });
    executor.reset();
    clock.advance(1s);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(task.expired());
    EXPECT_EQ(clock.pendingTimers(), 0u);
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
    EXPECT_THAT(order, ElementsAre("first", "first still current", "second"));
    EXPECT_FALSE(executor.isCurrent());
}

}  // namespace
}  // namespace kestrio::runtime
