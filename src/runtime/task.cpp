#include "runtime/task.h"

#include <atomic>

namespace kestrio::runtime {
namespace detail {

TaskRun::~TaskRun()
{
    // Either the task finished (its outermost frame waits at its final suspension point) or its
    // last pending resumption was dropped; destroying the outermost frame destroys the awaited
    // Tasks it holds, and so every frame of the run.
    if (root_)
        root_.destroy();
}

void resumeOn(const std::weak_ptr<Executor>& executor, std::shared_ptr<TaskRun> run, std::coroutine_handle<> handle)
{
    if (auto target = executor.lock())
        target->post(Resumption{std::move(run), handle});
}

// Shared by the timer's task and the cancellation callback of one sleep; whichever claims it
// first resumes the task. The timer's task holds it strongly and the callback weakly, so a timer
// that is dropped unfired (its executor is gone, or the clock is) lets the task go, while a
// callback that comes too late finds nothing.
struct SleepState {
    std::shared_ptr<TaskRun> run;
    std::coroutine_handle<> handle;
    std::weak_ptr<Executor> executor;
    SleepAwaiter* awaiter = nullptr;
    TimerHandle timer;
    std::atomic<bool> claimed{false};

    bool claim() { return !claimed.exchange(true, std::memory_order_acq_rel); }
};

bool SleepAwaiter::suspend(TaskRun& run, std::coroutine_handle<> awaiting)
{
    if (run.token.isCancelled()) {
        cancelled_ = true;
        return false;
    }

    // Both ways of resuming post to the executor this code runs on, which is serial: neither can
    // resume the task before this function has returned.
    auto state = std::make_shared<SleepState>();
    state->run = run.shared_from_this();
    state->handle = awaiting;
    state->executor = run.executor;
    state->awaiter = this;
    state->timer = clock_.schedule(delay_, run.executor, [state] {
        if (!state->claim())
            return;
        // The clock runs this on the task's executor, so the task continues right here.
        auto keep = std::move(state->run);
        state->handle.resume();
    });
    registration_ = CancellationRegistration(run.token, [weak = std::weak_ptr<SleepState>(state)] {
        auto state = weak.lock();
        if (!state || !state->claim())
            return;
        state->timer.cancel();
        // The claim keeps the frame alive until the resumption is posted or dropped.
        state->awaiter->cancelled_ = true;
        resumeOn(state->executor, std::move(state->run), state->handle);
        // The frame, and this callback with it, may be gone now.
    });
    return true;
}

}  // namespace detail

void spawn(std::shared_ptr<Executor> executor, Task<void> task, CancellationToken token)
{
    if (!task)
        return;
    auto handle = std::exchange(task.handle_, {});
    auto run = std::make_shared<detail::TaskRun>(executor, std::move(token), handle);
    handle.promise().bind(*run, {});
    if (executor)
        executor->post(detail::Resumption{std::move(run), handle});
}

}  // namespace kestrio::runtime
