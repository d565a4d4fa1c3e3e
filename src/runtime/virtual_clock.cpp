#include "runtime/virtual_clock.h"

#include "runtime/serial_queue.h"

#include <algorithm>

namespace kestrio::runtime {
namespace {

// Lets the executor run what a timer just posted while the clock still reads the timer's due
// time. Without it, a task that falls due on the way runs only after advance() returns, reads
// the end time as now, and schedules its follow-up timers from there: advancing in one go and in
// steps would then run different timers at different times. An executor that the caller is
// running on cannot be waited for; it gets to the task once the caller returns to it.
void settle(Executor& executor)
{
    if (executor.isCurrent())
        return;
    if (auto* manual = dynamic_cast<ManualExecutor*>(&executor))
        manual->runUntilIdle();
    else if (auto* queue = dynamic_cast<SerialQueue*>(&executor))
        queue->sync();
}

}  // namespace

TimePoint VirtualClock::now() const
{
    std::lock_guard lock(mutex_);
    return now_;
}

TimerHandle VirtualClock::schedule(Duration delay, std::weak_ptr<Executor> target, std::function<void()> task)
{
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(mutex_);
    if (delay < Duration::zero())
        delay = Duration::zero();
    timers_.emplace(std::make_pair(now_ + delay, sequence_++), Timer{std::move(target), std::move(task), cancelled});
    return TimerHandle(std::move(cancelled));
}

void VirtualClock::advance(Duration step)
{
    TimePoint end;
    {
        std::lock_guard lock(mutex_);
        end = now_ + step;
    }
    for (;;) {
        Timer timer;
        {
            std::lock_guard lock(mutex_);
            auto first = timers_.begin();
            // A task run on the way may have advanced the clock itself; time never goes back.
            if (first == timers_.end() || first->first.first > end) {
                now_ = std::max(now_, end);
                return;
            }
            now_ = std::max(now_, first->first.first);
            timer = std::move(first->second);
            timers_.erase(first);
        }
        if (timer.cancelled->load())
            continue;
        if (auto executor = timer.target.lock()) {
            executor->post([cancelled = timer.cancelled, task = std::move(timer.task)] {
                if (!cancelled->load())
                    task();
            });
            settle(*executor);
        }
    }
}

std::size_t VirtualClock::pendingTimers() const
{
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& entry : timers_)
        count += entry.second.cancelled->load() ? 0 : 1;
    return count;
}

Duration VirtualClock::nextTimerIn() const
{
    std::lock_guard lock(mutex_);
    for (const auto& entry : timers_)
        if (!entry.second.cancelled->load())
            return entry.first.first - now_;
    return Duration::zero();
}

void ManualExecutor::post(std::function<void()> task)
{
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
}

bool ManualExecutor::isCurrent() const
{
    std::lock_guard lock(mutex_);
    return runner_ == std::this_thread::get_id();
}

std::size_t ManualExecutor::runUntilIdle()
{
    {
        // One runner at a time keeps the executor serial: a nested call (a task driving its own
        // executor) or a second thread finds the tasks already being run and leaves them be.
        std::lock_guard lock(mutex_);
        if (runner_ != std::thread::id{})
            return 0;
        runner_ = std::this_thread::get_id();
    }
    struct Release {
        ManualExecutor& executor;
        ~Release()
        {
            std::lock_guard lock(executor.mutex_);
            executor.runner_ = {};
        }
    } release{*this};

    std::size_t count = 0;
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty())
                return count;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
        ++count;
    }
}

std::size_t ManualExecutor::pendingTasks() const
{
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

}  // namespace kestrio::runtime
