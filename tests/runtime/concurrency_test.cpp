#include "runtime/cancellation.h"
#include "runtime/restart_budget.h"
#include "runtime/serial_queue.h"
#include "runtime/task.h"
#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <ranges>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kestrio::runtime {
namespace {

using namespace std::chrono_literals;
using Firing = std::pair<std::string, Duration>;
// Handed to a coroutine or task by value, so that `freed()` tells when its frame or closure went.
using FrameWitness = std::shared_ptr<int>;
struct Witness {
    FrameWitness held = std::make_shared<int>();
    std::weak_ptr<int> watched = held;
    bool freed() const { return watched.expired(); }
};

struct TaskTest : ::testing::Test {
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

Task<> sleepLong(Clock& clock, FrameWitness = {}) { co_await sleepFor(clock, 10s); }

// The virtual time at which a cancelled body ended.
Task<> recordCancel(Task<> body, Clock& clock, std::optional<Duration>& cancelledAt)
{
    try {
        co_await std::move(body);
    } catch (const TaskCancelled&) {
        cancelledAt = clock.now().time_since_epoch();
    }
}

TEST_F(TaskTest, AwaitedTasksHandBackValuesAndExceptionsAfterAPostedStartAndFramesAreFreed)
{
    int sum = 0;
    std::string error;
    auto body = [&]() -> Task<> {
        sum = *co_await makeNumber(20) + *co_await makeNumber(22);
        try {
            co_await [](Clock& clock) -> Task<int> {
                co_await sleepFor(clock, 1s);
                throw std::runtime_error("inner failure");
            }(*clock);
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
    std::promise<bool> cancelledOnQueue;
    auto body = [&]() -> Task<> {
        co_await sleepFor(steadyClock, 1ms);
        sleeping.set_value();
        try {
            co_await sleepFor(steadyClock, 1h);
        } catch (const TaskCancelled&) {
            cancelledOnQueue.set_value(queue->isCurrent());
        }
    };
    spawn(queue, body(), source.token());
    sleeping.get_future().wait();
    std::thread([this] { source.cancel(); }).join();
    EXPECT_TRUE(cancelledOnQueue.get_future().get());

    queue->sync();
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
    other->runUntilIdle();
    clock->advance(1s);
    EXPECT_EQ(seen, (std::vector<std::string>{"value 42 home", "worker failed home", "on other", "slept on other"}));
}

TEST_F(TaskTest, TaskWhoseExecutorClockOrQueueIsGoneIsFreed)
{
    const std::function<void(TaskTest&)> cases[] = {
        [](TaskTest& t) { t.executor.reset(); t.clock->advance(10s); t.source.cancel(); },
        [](TaskTest& t) { t.source.cancel(); t.executor.reset(); },
        [](TaskTest& t) { t.clock.reset(); t.source.cancel(); },
    };
    for (const auto& afterStart : cases) {
        executor = std::make_shared<ManualExecutor>();
        clock = std::make_shared<VirtualClock>();
        source = CancellationSource();
        Witness witness;
        spawn(executor, sleepLong(*clock, std::move(witness.held)), source.token());
        executor->runUntilIdle();
        afterStart(*this);
        EXPECT_TRUE(witness.freed()) << &afterStart - cases;
    }

    auto stopped = SerialQueue::create("test.stopped");
    stopped->shutdown();
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

// Due order, ties in scheduling order, timers scheduled while advancing (chained, or with no
// delay), the same whether advanced in one go or in steps; cancelled timers and those of a gone
// executor never run.
TEST_F(TaskTest, VirtualTimersFireInDueOrderAtTheSameTimesInStepsOrInOneGo)
{
    auto run = [this](const std::vector<Duration>& steps) {
        clock = std::make_shared<VirtualClock>();
        firings.clear();
        std::function<void()> tick = [this, &tick] {
            entry("tick")();
            if (clock->now().time_since_epoch() < 4500ms)
                clock->schedule(1500ms, executor, tick);
        };
        clock->schedule(1500ms, executor, tick);
        clock->schedule(450ms, executor, [this] {
            entry("retry")();
            clock->schedule(0s, executor, entry("retry-again"));
        });
        for (auto [due, name] : {std::pair<Duration, const char*>{3s, "once"}, {1500ms, "tie"}, {-1s, "overdue"}})
            clock->schedule(due, executor, entry(name));
        clock->schedule(1s, executor, entry("cancelled")).cancel();
        auto gone = std::make_shared<ManualExecutor>();
        Witness witness;
        clock->schedule(1s, gone, [held = std::move(witness.held)] { FAIL() << "ran without its executor"; });
        gone.reset();
        EXPECT_EQ(clock->nextTimerIn(), 0s);
        for (Duration step : steps)
            clock->advance(step);
        EXPECT_TRUE(clock->pendingTimers() == 0 && witness.freed());
        return firings;
    };
    const std::vector<Firing> expected{{"overdue", 0s}, {"retry", 450ms}, {"retry-again", 450ms}, {"tick", 1500ms},
                                       {"tie", 1500ms}, {"once", 3s}, {"tick", 3s}, {"tick", 4500ms}};
    EXPECT_EQ(run({10s}), expected);
    EXPECT_EQ(run(std::vector<Duration>(100, 100ms)), expected);
    EXPECT_EQ(run({450ms, 0s, 1050ms, 1500ms, 7s}), expected);

    // Advanced from a task of the executor, a timer's task waits behind this one, and a cancel
    // that comes first keeps it from running.
    executor->post([&] {
        TimerHandle racing = clock->schedule(1s, executor, [] { FAIL() << "ran after its cancel"; });
        clock->advance(2s);
        racing.cancel();
    });
    executor->runUntilIdle();
}

// Three restarts within any minute: the fourth inside the minute is refused, and each one that
// was allowed makes room again a minute after it.
TEST(RestartBudgetTest, AllowsSoManyWithinAnyWindow)
{
    RestartBudget budget(3, std::chrono::minutes(1));
    const TimePoint start{};
    using std::chrono::seconds;
    const std::pair<int, bool> takes[] = {{0, true}, {10, true}, {20, true}, {59, false}, {60, true}, {61, false}, {70, true}, {80, true}};
    for (const auto& [at, allowed] : takes)
        EXPECT_EQ(budget.take(start + seconds(at)), allowed) << "at " << at << " s";
}

TEST(CancellationTest, CallbacksRunOnceOnTheCancellingThreadAndMayRegisterOrUnregister)
{
    CancellationSource source;
    auto token = source.token();
    int runs = 0, late = 0;
    std::thread::id ranOn, cancellerId;
    CancellationRegistration counted(token, [&] { ++runs, ranOn = std::this_thread::get_id(); });
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
    std::thread([&, copy = source]() mutable { cancellerId = std::this_thread::get_id(), cancelled = copy.cancel(); }).join();
    EXPECT_TRUE(cancelled && source.isCancelled() && nestedRan && !self && ranOn == cancellerId);
    EXPECT_FALSE(source.cancel());
    CancellationRegistration afterwards(token, [&] { ++late; });
    EXPECT_EQ(std::pair(runs, late), std::pair(1, 1));
    CancellationToken never;
    EXPECT_FALSE(never.canBeCancelled());
    CancellationRegistration ignored(never, [] { FAIL(); });
}

TEST(SerialQueueTest, RunsTasksInPostingOrderOnItsOwnThreadUntilShutdownDropsTheRest)
{
    auto queue = SerialQueue::create("test.order");
    std::vector<int> order;
    bool onlyThisQueue = true;
    std::promise<void> gate, blocking, release;
    queue->post([opened = gate.get_future().share()] { opened.wait(); });
    for (int i = 0; i < 100; ++i)
        queue->post([&, i] {
            order.push_back(i);
            onlyThisQueue = onlyThisQueue && queue->isCurrent();
            if (i == 0)
                queue->post([&] { order.push_back(100); });
        });
    gate.set_value();
    // The first sync may overtake the task posted from a task; the second cannot.
    queue->sync();
    queue->sync();
    EXPECT_TRUE(std::ranges::equal(order, std::views::iota(0, 101)) && onlyThisQueue && !queue->isCurrent());

    queue->post([&, released = release.get_future().share()] { blocking.set_value(), released.wait(); });
    Witness pending, late;
    queue->post([held = std::move(pending.held)] { FAIL() << "pending task ran after shutdown"; });
    blocking.get_future().wait();
    std::thread stopper([&] { queue->shutdown(); });
    while (!queue->context().stopped())
        std::this_thread::yield();
    release.set_value();
    stopper.join();
    queue->post([held = std::move(late.held)] { FAIL() << "ran after shutdown"; });
    EXPECT_TRUE(late.freed());
    queue->sync();  // returns though the marker it posts never runs
    queue.reset();
    EXPECT_TRUE(pending.freed());
}

// A deadlock fails here rather than as the test program's timeout.
TEST(SerialQueueTest, ShutdownOrLastOwnerLettingGoFromItsOwnTaskDoesNotDeadlock)
{
    const auto within10s = [](auto promise) { return promise->get_future().wait_for(10s) == std::future_status::ready; };
    auto queue = SerialQueue::create("test.self-stop");
    auto stopped = std::make_shared<std::promise<void>>(), synced = std::make_shared<std::promise<void>>();
    queue->post([queue, stopped] { queue->shutdown(), stopped->set_value(); });
    ASSERT_TRUE(within10s(stopped)) << "shutdown from its own task hung";
    std::thread([queue, synced] { queue->sync(), synced->set_value(); }).detach();
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

}  // namespace
}  // namespace kestrio::runtime
