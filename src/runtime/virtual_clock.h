#pragma once

#include "runtime/clock.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace kestrio::runtime {

// Time that moves only when a test moves it. Due timers post their tasks to their executors in
// due order (ties in scheduling order); the clock reads the timer's due time while it posts.
// When the target is a ManualExecutor or a SerialQueue that the caller is not running on,
// advance() also lets it run what was posted before moving on, so that tasks read their due time
// and timers they schedule fall due within the same advance.
class VirtualClock final : public Clock {
public:
    TimePoint now() const override;
    TimerHandle schedule(Duration delay, std::weak_ptr<Executor> target, std::function<void()> task) override;

    // Moves time forward by `step`, posting every timer that falls due on the way.
    void advance(Duration step);
    // Number of timers scheduled and neither fired nor cancelled.
    std::size_t pendingTimers() const;
    // Delay from now to the earliest pending timer; zero when there is none.
    Duration nextTimerIn() const;

private:
    struct Timer {
        std::weak_ptr<Executor> target;
        std::function<void()> task;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };

    mutable std::mutex mutex_;
    TimePoint now_{};
    std::uint64_t sequence_ = 0;
    std::map<std::pair<TimePoint, std::uint64_t>, Timer> timers_;
};

// An executor driven by hand: tasks run only inside run calls, on the calling thread.
class ManualExecutor final : public Executor {
public:
    void post(std::function<void()> task) override;
    bool isCurrent() const override;

    // Runs tasks, including those they post, until none is left. Returns how many ran. Runs
    // nothing when the executor is already being run (from one of its tasks, or another thread).
    std::size_t runUntilIdle();
    std::size_t pendingTasks() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    std::thread::id runner_{};
};

}  // namespace kestrio::runtime
