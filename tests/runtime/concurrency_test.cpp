#include "runtime/cancellation.h"
#include "runtime/serial_queue.h"
#include "runtime/task.h"
#include "runtime/virtual_clock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestrio::runtime {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using Firing = std::pair<std::string, Duration>;
// Handed to a coroutine or task by value, so that `freed()` tells when its frame or closure went.
using FrameWitness = std::shared_ptr<int>;
struct Witness {
    FrameWitness held = std::make_shared<int>();
    std::weak_ptr<int> watched = held;
    bool freed() const { return watched.expired(); }
};

class TaskTest : public ::testing::Test {
public:
    // Records which timer ran at which virtual time.
    std::function<void()> entry(std::string name)
    {
        return [this, name = std::move(name)] { firings.emplace_back(name, clock->now().time_since_epoch()); };
    }

    std::shared_ptr<ManualExecutor> executor = std::make_shared<ManualExecutor>();
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    CancellationSource source;
    std::vector<Firing> firings;
};

Task<std::unique_ptr<int>> makeNumber(int value) { co_return std::make_unique<int>(value); }

Task<int> failAfterSleep(Clock& clock)
{
    co_await sleepFor(clock, 1s);
    throw std::runtime_error("inner failure");
}

Task<> sleepLong(Clock& clock, FrameWitness = {}) { co_await sleepFor(clock, 10s); }

// The virtual time at which a cancelled body ended, or nothing while it has not been cancelled.
Task<> recordCancel(Task<> body, Clock& clock, std::optional<Duration>& cancelledAt)
{
    try {
        co_await std::move(body);
        ADD_FAILURE() << "finished";
    } catch (const TaskCancelled&) {
        cancelledAt = clock.now().time_since_epoch();
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
    EXPECT_EQ(std::pair(sum, error), std::pair(42, std::string()));
    clock->advance(1s);
    EXPECT_EQ(error, "inner failure");

    // Unstarted, or ended by an exception nobody awaited: the frame is freed either way.
    Witness witness;
    auto failing = [](FrameWitness) -> Task<> {
        throw std::runtime_error("nobody listens");
        co_return;
    };
    { auto unstarted = failing(witness.held); }
    spawn(executor, failing(std::move(witness.held)));
    executor->runUntilIdle();
    EXPECT_TRUE(witness.freed());
}

TEST_F(TaskTest, CancellingASleepEndsTheTaskThroughItsExecutorAtTheCancelTime)
{
    std::optional<Duration> cancelledAt, late;
    spawn(executor, recordCancel(sleepLong(*clock), *clock, cancelledAt), source.token());
    executor->runUntilIdle();
    clock->advance(2s);
    EXPECT_EQ(clock->pendingTimers(), 1u);
    source.cancel();
    EXPECT_FALSE(cancelledAt);
    EXPECT_EQ(executor->pendingTasks(), 1u);
    EXPECT_EQ(clock->pendingTimers(), 0u);
    executor->runUntilIdle();
    EXPECT_EQ(cancelledAt, Duration(2s));

    // Already cancelled when it starts sleeping: no timer at all.
    spawn(executor, recordCancel(sleepLong(*clock), *clock, late), source.token());
    executor->runUntilIdle();
    EXPECT_EQ(late, Duration(2s));
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
    std::thread([this] { source.cancel(); }).join();
    EXPECT_EQ(cancelledOnQueue.get_future().get(), 3);
    queue->sync();

    // Timers of the real clock fire once, on their executor; they fall due in order, so once a
    // later one has run, a second firing would have shown.
    std::atomic<int> fired{0};
    std::promise<bool> firstOnQueue;
    std::promise<void> later;
    steadyClock->schedule(1ms, queue, [&] {
        if (++fired == 1)
            firstOnQueue.set_value(queue->isCurrent());
    });
    EXPECT_TRUE(firstOnQueue.get_future().get());
    steadyClock->schedule(5ms, queue, [&] { later.set_value(); });
    later.get_future().wait();
    queue->sync();
    EXPECT_EQ(fired, 1);
}

TEST_F(TaskTest, RunOnAndSwitchToMoveTheTaskAndItsTimers)
{
    auto worker = SerialQueue::create("test.worker");
    auto other = std::make_shared<ManualExecutor>();
    std::vector<std::string> seen;
    const auto where = [&](std::string what) { seen.push_back(what + (executor->isCurrent() ? " home" : " away")); };
    auto body = [&]() -> Task<> {
        where("value " + std::to_string(co_await runOn(worker, [&] { return worker->isCurrent() ? 42 : -1; })));
        try {
            co_await runOn(worker, [] { throw std::runtime_error("worker failed"); });
        } catch (const std::runtime_error& error) {
            where(error.what());
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
        Witness witness;
        spawn(executor, sleepLong(*clock, std::move(witness.held)), source.token());
        executor->runUntilIdle();
        c.afterStart(*this);
        EXPECT_TRUE(witness.freed());
    }

    auto stopped = SerialQueue::create("test.stopped");
    stopped->shutdown();
    executor = std::make_shared<ManualExecutor>();
    Witness witness;
    bool resumed = false;
    auto waiting = [&](FrameWitness) -> Task<> {
        co_await runOn(stopped, [] { return 1; });
        resumed = true;
    };
    spawn(executor, waiting(witness.held));
    spawn(stopped, waiting(std::move(witness.held)));
    executor->runUntilIdle();
    EXPECT_FALSE(resumed);
    EXPECT_TRUE(witness.freed());
}

TEST_F(TaskTest, VirtualTimersFireInDueOrderWithTiesInSchedulingOrderUnlessCancelledOrTheirExecutorIsGone)
{
    for (auto [due, name] : {std::pair{3s, "c"}, {1s, "a"}, {2s, "b2"}, {1s, "a2"}, {2s, "b"}, {-1s, "overdue"}})
        clock->schedule(due, executor, entry(name));
    clock->schedule(1500ms, executor, entry("cancelled")).cancel();
    auto gone = std::make_shared<ManualExecutor>();
    Witness witness;
    clock->schedule(1s, gone, [held = std::move(witness.held)] { FAIL() << "ran without its executor"; });
    gone.reset();
    EXPECT_EQ(clock->nextTimerIn(), 0s);
    clock->advance(5s);
    EXPECT_EQ(firings, (std::vector<Firing>{{"overdue", 0s}, {"a", 1s}, {"a2", 1s}, {"b2", 2s}, {"b", 2s}, {"c", 3s}}));
    EXPECT_EQ(clock->now().time_since_epoch(), 5s);
    EXPECT_EQ(clock->pendingTimers(), 0u);
    EXPECT_TRUE(witness.freed());

    // Advancing from a task of the executor: the timer's task waits in the queue behind this
    // one, and a cancel that comes first keeps it from running.
    executor->post([&] {
        TimerHandle racing = clock->schedule(1s, executor, [] { FAIL() << "ran after its cancel"; });
        clock->advance(2s);
        racing.cancel();
    });
    executor->runUntilIdle();
}

TEST_F(TaskTest, AdvancingInStepsOrInOneGoRunsTheSameTimersAtTheSameTimes)
{
    // "tick" fires every 1.5 s until 6 s, each firing scheduling the next; "retry" at 0.45 s
    // schedules "retry-again" with no delay; "once" is due at 3 s, together with the second tick.
    auto run = [this](const std::vector<Duration>& steps) {
        clock = std::make_shared<VirtualClock>();
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

TEST_F(TaskTest, NestedRunsOfAManualExecutorLeaveTasksToTheOuterRun)
{
    std::vector<std::string> order;
    executor->post([&] {
        order.push_back("first");
        executor->post([&] { order.push_back("second"); });
        EXPECT_EQ(executor->runUntilIdle(), 0u);
        order.push_back(executor->isCurrent() ? "first still current" : "first lost its executor");
    });
    EXPECT_EQ(executor->runUntilIdle(), 2u);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "first still current", "second"}));
}

TEST(CancellationTest, CallbacksRunOnceOnTheCancellingThreadAndMayRegisterOrUnregister)
{
    CancellationSource source;
    CancellationSource copy = source;
    auto token = source.token();
    int first = 0;
    std::thread::id ranOn, cancellerId;
    CancellationRegistration a(token, [&] {
        ++first;
        ranOn = std::this_thread::get_id();
    });
    CancellationRegistration dropped(token, [] { FAIL() << "unregistered callback ran"; });
    dropped.reset();
    // Would deadlock if cancel() held a lock while calling back.
    std::optional<CancellationRegistration> self, nested;
    bool nestedRan = false;
    self.emplace(token, [&] {
        nested.emplace(token, [&] { nestedRan = token.isCancelled(); });
        self.reset();
    });
    bool cancelled = false;
    std::thread([&] {
        cancellerId = std::this_thread::get_id();
        cancelled = copy.cancel();
    }).join();
    EXPECT_TRUE(cancelled && source.isCancelled() && nestedRan && !self);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(ranOn, cancellerId);

    EXPECT_FALSE(source.cancel());
    EXPECT_EQ(first, 1);
    int late = 0;
    CancellationRegistration c(token, [&] { ++late; });
    EXPECT_EQ(late, 1);
    CancellationToken never;
    EXPECT_FALSE(never.canBeCancelled());
    CancellationRegistration ignored(never, [] { FAIL(); });
}

TEST(SerialQueueTest, RunsTasksInPostingOrderOnItsOwnThread)
{
    auto queue = SerialQueue::create("test.order");
    auto other = SerialQueue::create("test.other");
    std::vector<int> order, expected;
    bool onlyThisQueue = true;
    // Held until everything is posted, so that the task posted from a task comes after them all.
    std::promise<void> gate;
    queue->post([opened = gate.get_future().share()] { opened.wait(); });
    for (int i = 0; i < 100; ++i)
        queue->post([&, i] {
            order.push_back(i);
            onlyThisQueue = onlyThisQueue && queue->isCurrent() && !other->isCurrent();
            if (i == 0)
                queue->post([&] { order.push_back(100); });
        });
    gate.set_value();
    // The first sync may overtake the task posted from a task; the second cannot.
    queue->sync();
    queue->sync();
    for (int i = 0; i <= 100; ++i)
        expected.push_back(i);
    EXPECT_EQ(order, expected);
    EXPECT_TRUE(onlyThisQueue);
    EXPECT_FALSE(queue->isCurrent());
}

// A deadlock shows as a failure here rather than as the test program's timeout; the thread left
// waiting then keeps what it uses alive on its own.
TEST(SerialQueueTest, ShutdownOrLastOwnerLettingGoFromItsOwnTaskDoesNotDeadlock)
{
    const auto within10s = [](auto promise) { return promise->get_future().wait_for(10s) == std::future_status::ready; };
    auto queue = SerialQueue::create("test.self-stop");
    auto stopped = std::make_shared<std::promise<void>>(), synced = std::make_shared<std::promise<void>>();
    queue->post([queue, stopped] {
        queue->shutdown();
        stopped->set_value();
    });
    ASSERT_TRUE(within10s(stopped)) << "shutdown from its own task hung";
    std::thread([queue, synced] {
        queue->sync();
        synced->set_value();
    }).detach();
    EXPECT_TRUE(within10s(synced)) << "sync after shutdown hung";

    auto released = SerialQueue::create("test.self-release");
    std::weak_ptr<SerialQueue> weak = released;
    auto finished = std::make_shared<std::promise<void>>();
    std::promise<void> letGo;
    released->post([owner = released, finished, letGo = letGo.get_future().share()]() mutable {
        letGo.wait();
        owner.reset();
        finished->set_value();
    });
    released.reset();
    letGo.set_value();
    ASSERT_TRUE(within10s(finished)) << "letting go from its own task hung";
    EXPECT_TRUE(weak.expired());
}

TEST(SerialQueueTest, ShutdownDropsPendingAndLaterTasks)
{
    auto queue = SerialQueue::create("test.shutdown");
    std::promise<void> release, blocking;
    queue->post([&, released = release.get_future().share()] {
        blocking.set_value();
        released.wait();
    });
    Witness pending, late;
    bool pendingRan = false;
    queue->post([&, held = std::move(pending.held)] { pendingRan = true; });
    blocking.get_future().wait();
    std::thread stopper([&] { queue->shutdown(); });
    while (!queue->context().stopped())
        std::this_thread::yield();
    release.set_value();
    stopper.join();
    EXPECT_FALSE(pendingRan);
    queue->post([held = std::move(late.held)] { FAIL() << "ran after shutdown"; });
    EXPECT_TRUE(late.freed());
    // Returns even though the marker it posts never runs.
    queue->sync();
    queue.reset();
    EXPECT_TRUE(pending.freed());
}

}  // namespace
}  // namespace kestrio::runtime
