#pragma once

#include "runtime/cancellation.h"
#include "runtime/clock.h"
#include "runtime/executor.h"

#include <cassert>
#include <concepts>
#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

// Coroutine tasks on serial executors.
//
// A Task is started by spawn() or by being co_awaited from another Task. Everything awaited
// inside a task belongs to one spawned run, which knows the executor the task is on and the
// token that cancels it; awaited Tasks share both with their awaiter. The awaitables below
// resume a task only by posting to its current executor, so a task's code always runs on that
// executor, one piece at a time, and never on a thread that happened to cancel it.
//
// If the executor is gone when a resumption would be posted (or drops what was posted), the
// task is never resumed: its frames, and the frames of the tasks it was awaiting, are destroyed
// by whichever thread let go of the last pending resumption. Nothing in a task's frame should
// hold its own executor, or the executor's queue and the frame keep each other alive.
//
// A coroutine lambda's captures live in the lambda object, not in the frame: a lambda that
// returns a Task must outlive the task, or pass what it needs as parameters.
//
// Awaiting a Task hands control over by symmetric transfer. g++ turns that into a tail call only
// when optimising: in an unoptimised build, tens of thousands of awaited Tasks that finish without
// suspending, one after another within one executor task, exhaust the thread's stack.

namespace kestrio::runtime {

template <class T = void>
class Task;

// Starts `task` on `executor` with `token`. The start is posted, never run inline; a task
// spawned on an executor that is gone or shut down is destroyed without running. A task whose
// token is cancelled before it starts still starts, and ends at its first cancellation point.
//
// Nobody awaits a spawned task, so whatever it throws ends it quietly: TaskCancelled is how a
// cancelled task normally ends, and any other exception is dropped as well, since there is no
// one to hand it to. A task that must report failures catches them itself.
void spawn(std::shared_ptr<Executor> executor, Task<void> task, CancellationToken token = {});

namespace detail {

// The state shared by every coroutine of one spawned task. It owns the outermost frame; each
// pending resumption, and the code resuming the task, holds a reference.
class TaskRun : public std::enable_shared_from_this<TaskRun> {
public:
    TaskRun(std::weak_ptr<Executor> executor, CancellationToken token, std::coroutine_handle<> root) noexcept
        : executor(std::move(executor)), token(std::move(token)), root_(root)
    {
    }
    ~TaskRun();

    TaskRun(const TaskRun&) = delete;
    TaskRun& operator=(const TaskRun&) = delete;

    // Changed only by the task itself (switchTo), while it runs.
    std::weak_ptr<Executor> executor;
    const CancellationToken token;

private:
    std::coroutine_handle<> root_;
};

// A posted continuation of a task. Dropping it without running it releases the task.
struct Resumption {
    std::shared_ptr<TaskRun> run;
    std::coroutine_handle<> handle;

    void operator()() const { handle.resume(); }
};

// Posts `handle`'s continuation to `executor`; when the executor is gone, the reference is
// dropped here instead.
void resumeOn(const std::weak_ptr<Executor>& executor, std::shared_ptr<TaskRun> run, std::coroutine_handle<> handle);

class PromiseBase {
public:
    std::suspend_always initial_suspend() const noexcept { return {}; }

    struct FinalAwaiter {
        bool await_ready() const noexcept { return false; }
        template <class Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> finished) const noexcept
        {
            auto continuation = finished.promise().continuation_;
            return continuation ? continuation : std::noop_coroutine();
        }
        void await_resume() const noexcept {}
    };
    FinalAwaiter final_suspend() const noexcept { return {}; }

    TaskRun& run() const noexcept
    {
        assert(run_ != nullptr);
        return *run_;
    }
    // Joins the coroutine to `run`; `continuation` is resumed when it finishes (none for the
    // outermost coroutine of a run).
    void bind(TaskRun& run, std::coroutine_handle<> continuation) noexcept
    {
        run_ = &run;
        continuation_ = continuation;
    }

private:
    TaskRun* run_ = nullptr;
    std::coroutine_handle<> continuation_;
};

// The awaitables below only work inside a Task: they find the run through the promise.
template <class Promise>
concept TaskPromiseType = std::derived_from<Promise, PromiseBase>;

template <class T>
class TaskPromise final : public PromiseBase {
public:
    Task<T> get_return_object() noexcept;

    void return_value(T value) { result_.template emplace<1>(std::move(value)); }
    void unhandled_exception() noexcept { result_.template emplace<2>(std::current_exception()); }

    T takeResult()
    {
        if (result_.index() == 2)
            std::rethrow_exception(std::get<2>(result_));
        assert(result_.index() == 1);
        return std::move(std::get<1>(result_));
    }

private:
    std::variant<std::monostate, T, std::exception_ptr> result_;
};

template <>
class TaskPromise<void> final : public PromiseBase {
public:
    Task<void> get_return_object() noexcept;

    void return_void() const noexcept {}
    void unhandled_exception() noexcept { error_ = std::current_exception(); }

    void takeResult() const
    {
        if (error_)
            std::rethrow_exception(error_);
    }

private:
    std::exception_ptr error_;
};

}  // namespace detail

// A lazily started coroutine. It runs when spawned or co_awaited (the awaiter is resumed
// directly when it finishes, without a round trip through the executor); its result or
// exception goes to the awaiter. Destroying a Task that has not started, or has finished,
// frees its frame.
template <class T>
class [[nodiscard]] Task {
    static_assert(!std::is_reference_v<T>, "a Task returns values");

public:
    using promise_type = detail::TaskPromise<T>;

    Task() noexcept = default;
    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept
    {
        if (this != &other) {
            destroy();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    ~Task() { destroy(); }

    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // False for a default-constructed or moved-from Task.
    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }

    auto operator co_await() & noexcept { return Awaiter{handle_}; }
    auto operator co_await() && noexcept { return Awaiter{handle_}; }

private:
    friend class detail::TaskPromise<T>;
    friend void spawn(std::shared_ptr<Executor>, Task<void>, CancellationToken);

    struct Awaiter {
        std::coroutine_handle<promise_type> handle;

        bool await_ready() const noexcept { return false; }
        template <detail::TaskPromiseType Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> awaiting) const noexcept
        {
            assert(handle && !handle.done() && "a Task is awaited once");
            handle.promise().bind(awaiting.promise().run(), awaiting);
            return handle;
        }
        T await_resume() const { return handle.promise().takeResult(); }
    };

    explicit Task(std::coroutine_handle<promise_type> handle) noexcept : handle_(handle) {}

    void destroy() noexcept
    {
        if (handle_)
            std::exchange(handle_, {}).destroy();
    }

    std::coroutine_handle<promise_type> handle_;
};

namespace detail {

template <class T>
Task<T> TaskPromise<T>::get_return_object() noexcept
{
    return Task<T>(std::coroutine_handle<TaskPromise>::from_promise(*this));
}

inline Task<void> TaskPromise<void>::get_return_object() noexcept
{
    return Task<void>(std::coroutine_handle<TaskPromise>::from_promise(*this));
}

}  // namespace detail

namespace detail {

struct SleepState;

class SleepAwaiter {
public:
    SleepAwaiter(Clock& clock, Duration delay) noexcept : clock_(clock), delay_(delay) {}

    bool await_ready() const noexcept { return false; }
    template <TaskPromiseType Promise>
    bool await_suspend(std::coroutine_handle<Promise> awaiting)
    {
        return suspend(awaiting.promise().run(), awaiting);
    }
    void await_resume() const
    {
        if (cancelled_)
            throw TaskCancelled();
    }

private:
    friend struct SleepState;

    bool suspend(TaskRun& run, std::coroutine_handle<> awaiting);

    Clock& clock_;
    Duration delay_;
    bool cancelled_ = false;
    CancellationRegistration registration_;
};

class SwitchAwaiter {
public:
    explicit SwitchAwaiter(std::shared_ptr<Executor> target) noexcept : target_(std::move(target)) {}

    bool await_ready() const noexcept { return false; }
    template <TaskPromiseType Promise>
    void await_suspend(std::coroutine_handle<Promise> awaiting)
    {
        auto& run = awaiting.promise().run();
        run.executor = target_;
        // Not kept in the frame: a task waiting in the target's queue must not keep it alive.
        auto target = std::move(target_);
        target->post(Resumption{run.shared_from_this(), awaiting});
    }
    void await_resume() const noexcept {}

private:
    std::shared_ptr<Executor> target_;
};

template <class F>
class RunOnAwaiter {
public:
    using Result = std::remove_cvref_t<std::invoke_result_t<F&>>;

    RunOnAwaiter(std::shared_ptr<Executor> other, F function) : other_(std::move(other)), function_(std::move(function)) {}

    bool await_ready() const noexcept { return false; }
    template <TaskPromiseType Promise>
    void await_suspend(std::coroutine_handle<Promise> awaiting)
    {
        auto& run = awaiting.promise().run();
        auto other = std::move(other_);
        // The frame, and with it this awaiter, lives as long as the posted work holds the run.
        other->post([this, ref = run.shared_from_this(), awaiting, origin = run.executor]() mutable {
            try {
                if constexpr (std::is_void_v<Result>)
                    function_();
                else
                    result_.emplace(function_());
            } catch (...) {
                error_ = std::current_exception();
            }
            resumeOn(origin, std::move(ref), awaiting);
        });
    }
    Result await_resume()
    {
        if (error_)
            std::rethrow_exception(error_);
        if constexpr (!std::is_void_v<Result>)
            return std::move(*result_);
    }

private:
    using Stored = std::conditional_t<std::is_void_v<Result>, std::monostate, Result>;

    std::shared_ptr<Executor> other_;
    F function_;
    std::optional<Stored> result_;
    std::exception_ptr error_;
};

// Reads the run without suspending.
template <class Read>
class RunQuery {
public:
    explicit RunQuery(Read read) noexcept : read_(std::move(read)) {}

    bool await_ready() const noexcept { return false; }
    template <TaskPromiseType Promise>
    bool await_suspend(std::coroutine_handle<Promise> awaiting)
    {
        value_.emplace(read_(awaiting.promise().run()));
        return false;
    }
    auto await_resume() { return std::move(*value_); }

private:
    Read read_;
    std::optional<std::invoke_result_t<Read&, TaskRun&>> value_;
};

struct CancellationCheck {
    bool cancelled = false;

    bool await_ready() const noexcept { return false; }
    template <TaskPromiseType Promise>
    bool await_suspend(std::coroutine_handle<Promise> awaiting) noexcept
    {
        cancelled = awaiting.promise().run().token.isCancelled();
        return false;
    }
    void await_resume() const
    {
        if (cancelled)
            throw TaskCancelled();
    }
};

}  // namespace detail

// co_await sleepFor(clock, d): resumes on the task's current executor once `d` has passed on
// `clock`. If the task's token is cancelled before or during the sleep, throws TaskCancelled as
// soon as the executor gets to the task, without waiting for the timer. The clock only needs to
// outlive the co_await expression's start.
inline detail::SleepAwaiter sleepFor(Clock& clock, Duration delay) noexcept
{
    return {clock, delay};
}
inline detail::SleepAwaiter sleepFor(const std::shared_ptr<Clock>& clock, Duration delay) noexcept
{
    return {*clock, delay};
}

// co_await switchTo(e): continues the task on `e`, which becomes its current executor. Always
// goes through e's queue, even when the task is on `e` already.
inline detail::SwitchAwaiter switchTo(std::shared_ptr<Executor> target)
{
    if (!target)
        throw std::invalid_argument("switchTo needs an executor");
    return detail::SwitchAwaiter(std::move(target));
}

// co_await runOn(other, f): runs f() on `other` and resumes the task on its current executor
// with f's result, or rethrows there what f threw. Cancellation does not interrupt f; the task
// sees it at its next cancellation point. If `other` is gone or drops the work, the task is
// never resumed.
template <class F>
    requires std::invocable<F&>
detail::RunOnAwaiter<std::decay_t<F>> runOn(std::shared_ptr<Executor> other, F&& function)
{
    if (!other)
        throw std::invalid_argument("runOn needs an executor");
    return {std::move(other), std::forward<F>(function)};
}

// co_await checkCancellation(): throws TaskCancelled when the task's token is cancelled.
inline detail::CancellationCheck checkCancellation() noexcept
{
    return {};
}

// co_await isCancelled(): whether the task's token is cancelled.
inline auto isCancelled() noexcept
{
    return detail::RunQuery([](detail::TaskRun& run) { return run.token.isCancelled(); });
}

// co_await currentToken(): the token the task was spawned with, e.g. to spawn helpers that end
// with it.
inline auto currentToken() noexcept
{
    return detail::RunQuery([](detail::TaskRun& run) { return run.token; });
}

// co_await currentExecutor(): the executor the task runs on; null if it is gone.
inline auto currentExecutor() noexcept
{
    return detail::RunQuery([](detail::TaskRun& run) { return run.executor.lock(); });
}

}  // namespace kestrio::runtime
