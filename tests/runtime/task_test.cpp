#include "runtime/serial_queue.h"
#include "runtime/task.h"
#include "runtime/virtual_clock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kestrio::runtime {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

// Handed to a coroutine by value, so that it lives exactly as long as the frame.
using FrameWitness = std::shared_ptr<int>;

struct Outcome {
    bool finished = false;
    std::optional<Duration> cancelledAt;
};

class TaskTest : public ::testing::Test {
public:
    std::shared_ptr<ManualExecutor> executor = std::make_shared<ManualExecutor>();
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    CancellationSource source;
};

Task<std::unique_ptr<int>> makeNumber(int value)
{
    co_return std::make_unique<int>(value);
}

Task<int> failAfterSleep(Clock& clock)
{
    co_await sleepFor(clock, 1s);
    throw std::runtime_error("inner failure");
}

Task<> sleepLong(Clock& clock, FrameWitness = {})
{
    co_await sleepFor(clock, 10s);
}

Task<> recordOutcome(Task<> body, Clock& clock, Outcome& outcome)
{
    try {
        co_await std::move(body);
        outcome.finished = true;
    } catch (const TaskCancelled&) {
        outcome.cancelledAt = clock.now().time_since_epoch();
    }
}

TEST_F(TaskTest, AwaitedTasksHandBackValuesAndExceptionsAfterAPostedStart)
{
    int sum = 0;
    std::string error;
    auto body = [&]() -> Task<> {
        sum = *co_await makeNumber(20) + *co_await makeNumber(22);
        try {
            co_await failAfterSleep(*clock);
        } catch (const std::runtime_error& caught) {
            error = caught.what();
        }
    };
    spawn(executor, body());
    EXPECT_EQ(sum, 0);
    executor->runUntilIdle();
    EXPECT_EQ(sum, 42);
    EXPECT_EQ(error, "");
    clock->advance(1s);
    EXPECT_EQ(error, "inner failure");

    // Unstarted, or ended by an exception nobody awaited: the frame is freed either way.
    auto witness = std::make_shared<int>();
    std::weak_ptr<int> frame = witness;
    auto failing = [](FrameWitness) -> Task<> {
        throw std::runtime_error("nobody listens");
        co_return;
    };
    { auto unstarted = failing(witness); }
    spawn(executor, failing(std::move(witness)));
    executor->runUntilIdle();
    EXPECT_TRUE(frame.expired());
}

TEST_F(TaskTest, CancellingASleepEndsTheTaskThroughItsExecutorAtTheCancelTime)
{
    Outcome outcome;
    spawn(executor, recordOutcome(sleepLong(*clock), *clock, outcome), source.token());
    executor->runUntilIdle();
    clock->advance(2s);
    EXPECT_EQ(clock->pendingTimers(), 1u);

    source.cancel();
    EXPECT_FALSE(outcome.cancelledAt);
    EXPECT_EQ(executor->pendingTasks(), 1u);
    EXPECT_EQ(clock->pendingTimers(), 0u);
    executor->runUntilIdle();
    EXPECT_EQ(outcome.cancelledAt, Duration(2s));
    EXPECT_FALSE(outcome.finished);

    // Already cancelled when it starts sleeping: no timer at all.
    Outcome late;
    spawn(executor, recordOutcome(sleepLong(*clock), *clock, late), source.token());
    executor->runUntilIdle();
    EXPECT_EQ(late.cancelledAt, Duration(2s));
    EXPECT_EQ(clock->pendingTimers(), 0u);
}

TEST_F(TaskTest, SteadySleepsAndCancellationFromAnotherThreadResumeOnTheTasksQueue)
{
    auto queue = SerialQueue::create("test.sleeper");
    auto steadyClock = makeSteadyClock();
    std::promise<void> sleeping;
    std::promise<int> cancelledOnQueue;
    auto body = [&]() -> Task<> {
        int steps = 0;
        for (; steps < 3; ++steps)
            co_await sleepFor(steadyClock, 1ms);
        sleeping.set_value();
        try {
            co_await sleepFor(steadyClock, 1h);
        } catch (const TaskCancelled&) {
            cancelledOnQueue.set_value(queue->isCurrent() ? steps : -1);
        }
    };
    spawn(queue, body(), source.token());
    sleeping.get_future().wait();
    std::thread canceller([this] { source.cancel(); });
    canceller.join();
    EXPECT_EQ(cancelledOnQueue.get_future().get(), 3);
    queue->sync();
}

TEST_F(TaskTest, RunOnAndSwitchToMoveTheTaskAndItsTimers)
{
    auto worker = SerialQueue::create("test.worker");
    auto other = std::make_shared<ManualExecutor>();
    std::vector<std::string> seen;
    auto body = [&]() -> Task<> {
        int value = co_await runOn(worker, [&] { return worker->isCurrent() ? 42 : -1; });
        seen.push_back("value " + std::to_string(value) + (executor->isCurrent() ? " home" : " away"));
        try {
            co_await runOn(worker, [] { throw std::runtime_error("worker failed"); });
        } catch (const std::runtime_error& error) {
            seen.push_back(std::string(error.what()) + (executor->isCurrent() ? " home" : " away"));
        }
        co_await switchTo(other);
        auto current = co_await currentExecutor();
        seen.push_back(other->isCurrent() && current == other ? "on other" : "lost");
        co_await sleepFor(*clock, 1s);
        seen.push_back(other->isCurrent() ? "slept on other" : "slept elsewhere");
    };
    spawn(executor, body());
    for (int round = 0; round < 3; ++round) {
        executor->runUntilIdle();
        worker->sync();
    }
    EXPECT_EQ(seen.size(), 2u);
    other->runUntilIdle();
    clock->advance(1s);
    EXPECT_THAT(seen, ElementsAre("value 42 home", "worker failed home", "on other", "slept on other"));
    EXPECT_EQ(executor->pendingTasks(), 0u);
}

// A task whose executor, clock or helper queue goes away is never resumed, and its frame is freed.
TEST_F(TaskTest, TaskWhoseExecutorClockOrQueueIsGoneIsFreed)
{
    struct Case {
        const char* name;
        std::function<void(TaskTest&)> afterStart;
    };
    const Case cases[] = {
        {"executor gone, then timer due", [](TaskTest& t) { t.executor.reset(); t.clock->advance(10s); t.source.cancel(); }},
        {"resumption queued, then executor gone", [](TaskTest& t) {
             t.source.cancel();
             ASSERT_EQ(t.executor->pendingTasks(), 1u);
             t.executor.reset();
         }},
        {"executor gone, then cancelled", [](TaskTest& t) { t.executor.reset(); t.source.cancel(); }},
        {"clock gone", [](TaskTest& t) { t.clock.reset(); t.source.cancel(); EXPECT_EQ(t.executor->pendingTasks(), 0u); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        executor = std::make_shared<ManualExecutor>();
        clock = std::make_shared<VirtualClock>();
        source = CancellationSource();
        auto witness = std::make_shared<int>();
        std::weak_ptr<int> frame = witness;
        spawn(executor, sleepLong(*clock, std::move(witness)), source.token());
        executor->runUntilIdle();
        c.afterStart(*this);
        EXPECT_TRUE(frame.expired());
    }

    auto stopped = SerialQueue::create("test.stopped");
    stopped->shutdown();
    executor = std::make_shared<ManualExecutor>();
    auto witness = std::make_shared<int>();
    std::weak_ptr<int> frame = witness;
    bool resumed = false;
    auto waiting = [&](FrameWitness) -> Task<> {
        co_await runOn(stopped, [] { return 1; });
        resumed = true;
    };
    spawn(executor, waiting(witness));
    spawn(stopped, waiting(std::move(witness)));
    executor->runUntilIdle();
    EXPECT_FALSE(resumed);
    EXPECT_TRUE(frame.expired());
}

}  // namespace
}  // namespace kestrio::runtime
