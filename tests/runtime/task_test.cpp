#include "runtime/serial_queue.h"
#include "runtime/task.h"
#include "runtime/virtual_clock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
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

Duration sinceStart(TimePoint time)
{
    return time.time_since_epoch();
}

// Handed to a coroutine by value, so that it lives exactly as long as the frame.
using FrameWitness = std::shared_ptr<int>;

struct Outcome {
    bool finished = false;
    std::optional<Duration> cancelledAt;
    std::string error;
};

class TaskTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualExecutor> executor = std::make_shared<ManualExecutor>();
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    CancellationSource source;
};

// --- Awaiting tasks -------------------------------------------------------------------------

Task<std::unique_ptr<int>> makeNumber(int value)
{
    co_return std::make_unique<int>(value);
}

Task<int> addNumbers(int a, int b)
{
    auto first = co_await makeNumber(a);
    auto secondTask = makeNumber(b);
    auto second = co_await secondTask;
    co_return *first + *second;
}

Task<int> failAfterSleep(Clock& clock)
{
    co_await sleepFor(clock, 1s);
    throw std::runtime_error("inner failure");
}

Task<int> passThrough(Clock& clock)
{
    int value = co_await failAfterSleep(clock);
    co_return value + 1;
}

Task<> recordOutcome(Task<> body, Clock& clock, Outcome& outcome)
{
    try {
        co_await std::move(body);
        outcome.finished = true;
    } catch (const TaskCancelled&) {
        outcome.cancelledAt = sinceStart(clock.now());
    } catch (const std::exception& error) {
        outcome.error = error.what();
    }
}

TEST_F(TaskTest, AwaitedTasksHandBackValuesAndExceptions)
{
    int sum = 0;
    std::string error;
    auto body = [&]() -> Task<> {
        sum = co_await addNumbers(20, 22);
        try {
            co_await passThrough(*clock);
        } catch (const std::runtime_error& caught) {
            error = caught.what();
        }
    };
    spawn(executor, body());
    executor->runUntilIdle();
    EXPECT_EQ(sum, 42);
    EXPECT_EQ(error, "");

    clock->advance(1s);
    EXPECT_EQ(error, "inner failure");
}

TEST_F(TaskTest, FramesAreFreedWhetherTasksRanOrNot)
{
    auto body = [](FrameWitness, bool& ran) -> Task<int> {
        ran = true;
        co_return 1;
    };
    auto witness = std::make_shared<int>();
    std::weak_ptr<int> seen = witness;
    bool ran = false;
    {
        auto task = body(std::move(witness), ran);
        auto moved = std::move(task);
        EXPECT_FALSE(task);
        EXPECT_TRUE(moved);
    }
    EXPECT_FALSE(ran);
    EXPECT_TRUE(seen.expired());

    // Finished, with an exception nobody awaited.
    witness = std::make_shared<int>();
    seen = witness;
    auto failing = [](FrameWitness) -> Task<> {
        throw std::runtime_error("nobody listens");
        co_return;
    };
    spawn(executor, failing(std::move(witness)));
    EXPECT_NO_THROW(executor->runUntilIdle());
    EXPECT_TRUE(seen.expired());
}

TEST_F(TaskTest, SpawnPostsTheStart)
{
    bool started = false;
    auto body = [&]() -> Task<> {
        started = true;
        EXPECT_TRUE(executor->isCurrent());
        co_return;
    };
    spawn(executor, body());
    EXPECT_FALSE(started);
    EXPECT_EQ(executor->pendingTasks(), 1u);
    executor->runUntilIdle();
    EXPECT_TRUE(started);
}

// --- Sleeping and cancelling ----------------------------------------------------------------

Task<> discoveryLoop(Clock& clock, std::vector<Duration>& steps)
{
    for (Duration delay : {Duration(3500ms), Duration(6s), Duration(10s)}) {
        co_await sleepFor(clock, delay);
        steps.push_back(sinceStart(clock.now()));
    }
}

TEST_F(TaskTest, LoopRunsItsStepsAtTheVirtualTimesItSleptTo)
{
    std::vector<Duration> inOneGo;
    spawn(executor, discoveryLoop(*clock, inOneGo));
    executor->runUntilIdle();
    clock->advance(30s);
    EXPECT_THAT(inOneGo, ElementsAre(3500ms, 9500ms, 19500ms));

    auto steppedClock = std::make_shared<VirtualClock>();
    std::vector<Duration> inSteps;
    spawn(executor, discoveryLoop(*steppedClock, inSteps));
    executor->runUntilIdle();
    for (int i = 0; i < 30; ++i)
        steppedClock->advance(1s);
    EXPECT_EQ(inSteps, inOneGo);
}

Task<> sleepLong(Clock& clock)
{
    co_await sleepFor(clock, 10s);
}

TEST_F(TaskTest, CancellingDuringSleepEndsTheTaskAtTheCancelTime)
{
    Outcome outcome;
    spawn(executor, recordOutcome(sleepLong(*clock), *clock, outcome), source.token());
    executor->runUntilIdle();
    clock->advance(2s);
    EXPECT_EQ(clock->pendingTimers(), 1u);

    source.cancel();
    // Resumed through the executor, not on the cancelling thread.
    EXPECT_FALSE(outcome.cancelledAt);
    EXPECT_EQ(executor->pendingTasks(), 1u);
    EXPECT_EQ(clock->pendingTimers(), 0u);

    executor->runUntilIdle();
    EXPECT_EQ(outcome.cancelledAt, Duration(2s));
    EXPECT_FALSE(outcome.finished);

    clock->advance(20s);
    EXPECT_EQ(executor->pendingTasks(), 0u);
}

TEST_F(TaskTest, CancelledTaskThrowsAtItsNextCancellationPoint)
{
    std::vector<std::string> seen;
    auto body = [&]() -> Task<> {
        seen.push_back((co_await isCancelled()) ? "cancelled" : "running");
        co_await checkCancellation();
        co_await sleepFor(*clock, 1s);
        // As if a viewer connected while this step ran: nothing throws until the task checks.
        source.cancel();
        seen.push_back((co_await isCancelled()) ? "cancelled" : "running");
        co_await checkCancellation();
        seen.push_back("unreachable");
    };
    Outcome outcome;
    spawn(executor, recordOutcome(body(), *clock, outcome), source.token());
    executor->runUntilIdle();
    clock->advance(1s);
    EXPECT_THAT(seen, ElementsAre("running", "cancelled"));
    EXPECT_EQ(outcome.cancelledAt, Duration(1s));

    // Already cancelled when it starts sleeping: no timer at all.
    Outcome late;
    spawn(executor, recordOutcome(sleepLong(*clock), *clock, late), source.token());
    executor->runUntilIdle();
    EXPECT_EQ(late.cancelledAt, Duration(1s));
    EXPECT_EQ(clock->pendingTimers(), 0u);
}

Task<> nestedSleeper(Clock& clock, std::shared_ptr<Executor>& executorSeen, bool& tokenCancelled)
{
    executorSeen = co_await currentExecutor();
    auto token = co_await currentToken();
    try {
        co_await sleepLong(clock);
    } catch (const TaskCancelled&) {
        tokenCancelled = token.isCancelled();
        throw;
    }
}

TEST_F(TaskTest, AwaitedTasksShareTheExecutorAndToken)
{
    std::shared_ptr<Executor> executorSeen;
    bool tokenCancelled = false;
    Outcome outcome;
    spawn(executor, recordOutcome(nestedSleeper(*clock, executorSeen, tokenCancelled), *clock, outcome), source.token());
    executor->runUntilIdle();
    EXPECT_EQ(executorSeen, executor);

    clock->advance(4s);
    source.cancel();
    executor->runUntilIdle();
    EXPECT_TRUE(tokenCancelled);
    EXPECT_EQ(outcome.cancelledAt, Duration(4s));
}

TEST_F(TaskTest, CancellationFromAnotherThreadResumesOnTheTasksQueue)
{
    auto queue = SerialQueue::create("test.sleeper");
    auto steadyClock = makeSteadyClock();
    std::promise<void> sleeping;
    std::promise<bool> cancelledOnQueue;
    auto body = [&]() -> Task<> {
        sleeping.set_value();
        try {
            co_await sleepFor(steadyClock, 1h);
        } catch (const TaskCancelled&) {
            cancelledOnQueue.set_value(queue->isCurrent());
        }
    };
    spawn(queue, body(), source.token());
    sleeping.get_future().wait();
    std::thread canceller([this] { source.cancel(); });
    canceller.join();
    EXPECT_TRUE(cancelledOnQueue.get_future().get());
    queue->sync();
}

TEST_F(TaskTest, SleepsOnTheSteadyClockEndOnTheTasksQueue)
{
    auto queue = SerialQueue::create("test.steady");
    auto steadyClock = makeSteadyClock();
    std::promise<int> done;
    auto body = [&]() -> Task<> {
        int steps = 0;
        for (; steps < 3; ++steps)
            co_await sleepFor(steadyClock, 1ms);
        done.set_value(queue->isCurrent() ? steps : -1);
    };
    spawn(queue, body());
    EXPECT_EQ(done.get_future().get(), 3);
    queue->sync();
}

// --- Other executors ------------------------------------------------------------------------

TEST_F(TaskTest, RunOnComputesElsewhereAndComesBack)
{
    auto worker = SerialQueue::create("test.worker");
    std::vector<std::string> seen;
    auto body = [&]() -> Task<> {
        int value = co_await runOn(worker, [&] { return worker->isCurrent() ? 42 : -1; });
        seen.push_back("value " + std::to_string(value) + (executor->isCurrent() ? " home" : " away"));
        try {
            co_await runOn(worker, [] { throw std::runtime_error("worker failed"); });
        } catch (const std::runtime_error& error) {
            seen.push_back(std::string(error.what()) + (executor->isCurrent() ? " home" : " away"));
        }
    };
    spawn(executor, body());
    for (int round = 0; round < 2; ++round) {
        executor->runUntilIdle();
        worker->sync();
    }
    executor->runUntilIdle();
    EXPECT_THAT(seen, ElementsAre("value 42 home", "worker failed home"));
}

TEST_F(TaskTest, SwitchToMovesTheTaskAndItsTimers)
{
    auto other = std::make_shared<ManualExecutor>();
    std::vector<std::string> seen;
    auto body = [&]() -> Task<> {
        co_await switchTo(other);
        auto current = co_await currentExecutor();
        seen.push_back(other->isCurrent() && current == other ? "on other" : "lost");
        co_await sleepFor(*clock, 1s);
        seen.push_back(other->isCurrent() ? "slept on other" : "slept elsewhere");
    };
    spawn(executor, body());
    executor->runUntilIdle();
    EXPECT_TRUE(seen.empty());
    other->runUntilIdle();
    clock->advance(1s);
    EXPECT_THAT(seen, ElementsAre("on other", "slept on other"));
    EXPECT_EQ(executor->pendingTasks(), 0u);
}

// --- Tasks whose executor, clock or helper queue is gone ------------------------------------

Task<> sleepNested(Clock& clock, FrameWitness)
{
    co_await sleepLong(clock);
}

TEST_F(TaskTest, TaskWhoseExecutorIsGoneIsFreed)
{
    auto witness = std::make_shared<int>();
    std::weak_ptr<int> frame = witness;
    spawn(executor, sleepNested(*clock, std::move(witness)), source.token());
    executor->runUntilIdle();
    executor.reset();
    clock->advance(10s);
    EXPECT_TRUE(frame.expired());
    // The cancellation callback went with the frame.
    source.cancel();
}

TEST_F(TaskTest, TaskWhoseResumptionIsQueuedWhenTheExecutorDiesIsFreed)
{
    auto witness = std::make_shared<int>();
    std::weak_ptr<int> frame = witness;
    spawn(executor, sleepNested(*clock, std::move(witness)), source.token());
    executor->runUntilIdle();
    source.cancel();
    ASSERT_EQ(executor->pendingTasks(), 1u);
    executor.reset();
    EXPECT_TRUE(frame.expired());
}

TEST_F(TaskTest, TaskCancelledAfterItsExecutorIsGoneIsFreed)
{
    auto witness = std::make_shared<int>();
    std::weak_ptr<int> frame = witness;
    spawn(executor, sleepNested(*clock, std::move(witness)), source.token());
    executor->runUntilIdle();
    executor.reset();
    source.cancel();
    EXPECT_TRUE(frame.expired());
    clock->advance(10s);
}

TEST_F(TaskTest, TaskWhoseClockIsGoneIsFreed)
{
    auto witness = std::make_shared<int>();
    std::weak_ptr<int> frame = witness;
    spawn(executor, sleepNested(*clock, std::move(witness)), source.token());
    executor->runUntilIdle();
    clock.reset();
    EXPECT_TRUE(frame.expired());
    source.cancel();
    EXPECT_EQ(executor->pendingTasks(), 0u);
}

TEST_F(TaskTest, TaskWaitingOnAStoppedQueueIsFreed)
{
    auto worker = SerialQueue::create("test.stopped");
    worker->shutdown();
    auto witness = std::make_shared<int>();
    std::weak_ptr<int> frame = witness;
    bool resumed = false;
    auto body = [&](FrameWitness) -> Task<> {
        co_await runOn(worker, [] { return 1; });
        resumed = true;
    };
    spawn(executor, body(std::move(witness)));
    executor->runUntilIdle();
    EXPECT_FALSE(resumed);
    EXPECT_TRUE(frame.expired());
}

TEST_F(TaskTest, TaskSpawnedOnAStoppedQueueIsFreedUnstarted)
{
    auto queue = SerialQueue::create("test.stopped");
    queue->shutdown();
    auto witness = std::make_shared<int>();
    std::weak_ptr<int> frame = witness;
    bool started = false;
    auto body = [&](FrameWitness) -> Task<> {
        started = true;
        co_return;
    };
    spawn(queue, body(std::move(witness)));
    EXPECT_TRUE(frame.expired());
    EXPECT_FALSE(started);
}

}  // namespace
}  // namespace kestrio::runtime
