#include "runtime/clock.h"
#include "runtime/serial_queue.h"

#include <asio/steady_timer.hpp>

namespace kestrio::runtime {
namespace {

class SteadyClock final : public Clock {
public:
    SteadyClock() : timers_(SerialQueue::create("com.kestrio.timers")) {}

    TimePoint now() const override { return std::chrono::steady_clock::now(); }

    TimerHandle schedule(Duration delay, std::weak_ptr<Executor> target, std::function<void()> task) override
    {
        auto cancelled = std::make_shared<std::atomic<bool>>(false);
        // A serial queue waits on its own timer: the task runs where the timer fires, without a
        // hop through the timer thread (a wake-up saved on every frame tick).
        if (auto queue = std::dynamic_pointer_cast<SerialQueue>(target.lock())) {
            auto timer = std::make_shared<asio::steady_timer>(queue->context(), delay);
            queue.reset();
            timer->async_wait([timer, cancelled, target = std::move(target), task = std::move(task)](
                                  const std::error_code& error) mutable {
                if (!error && !cancelled->load() && !target.expired())
                    task();
            });
            return TimerHandle(std::move(cancelled));
        }
        auto timer = std::make_shared<asio::steady_timer>(timers_->context(), delay);
        timer->async_wait([timer, cancelled, target = std::move(target), task = std::move(task)](
                              const std::error_code& error) mutable {
            if (error || cancelled->load())
                return;
            if (auto executor = target.lock())
                executor->post([cancelled, task = std::move(task)] {
                    if (!cancelled->load())
                        task();
                });
        });
        return TimerHandle(std::move(cancelled));
    }

private:
    std::shared_ptr<SerialQueue> timers_;
};

}  // namespace

std::shared_ptr<Clock> makeSteadyClock()
{
    return std::make_shared<SteadyClock>();
}

}  // namespace kestrio::runtime
