#include "runtime/virtual_clock.h"

namespace kestrio::runtime {

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
            if (first == timers_.end() || first->first.first > end) {
                now_ = end;
                return;
            }
            now_ = first->first.first;
            timer = std::move(first->second);
            timers_.erase(first);
        }
        if (timer.cancelled->load())
            continue;
        if (auto executor = timer.target.lock())
            executor->post([cancelled = timer.cancelled, task = std::move(timer.task)] {
                if (!cancelled->load())
                    task();
            });
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
    std::size_t count = 0;
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty()) {
                runner_ = {};
                return count;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
            runner_ = std::this_thread::get_id();
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
