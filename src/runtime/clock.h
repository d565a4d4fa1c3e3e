#pragma once

#include "runtime/executor.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace kestrio::runtime {

using Duration = std::chrono::steady_clock::duration;
using TimePoint = std::chrono::steady_clock::time_point;

// Cancels a scheduled task. Cancelling after the task has run, or twice, does nothing.
// Dropping the handle does not cancel the task.
class TimerHandle {
public:
    TimerHandle() = default;
    explicit TimerHandle(std::shared_ptr<std::atomic<bool>> cancelled) : cancelled_(std::move(cancelled)) {}

    void cancel() const
    {
        if (cancelled_)
            cancelled_->store(true);
    }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

// The source of time and timers for every component. Production code uses the steady clock;
// tests use VirtualClock and move time by hand.
class Clock {
public:
    virtual ~Clock() = default;

    virtual TimePoint now() const = 0;

    // Runs `task` on `target` once `delay` has passed. The executor is held weakly: if it is
    // gone by then, the task is dropped.
    virtual TimerHandle schedule(Duration delay, std::weak_ptr<Executor> target, std::function<void()> task) = 0;
};

// Wall-clock timers on std::chrono::steady_clock, served by one background thread.
std::shared_ptr<Clock> makeSteadyClock();

}  // namespace kestrio::runtime
