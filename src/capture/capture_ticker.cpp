#include "capture/capture_ticker.h"

namespace kestrio::capture {

std::shared_ptr<CaptureTicker> CaptureTicker::start(Source source, runtime::Duration interval,
                                                    std::function<bool(runtime::TimePoint)> wantsFrame,
                                                    std::shared_ptr<runtime::Clock> clock,
                                                    std::shared_ptr<runtime::SerialQueue> queue,
                                                    DisplayCaptureStream::FrameHandler handler)
{
    if (interval <= runtime::Duration::zero())
        interval = std::chrono::duration_cast<runtime::Duration>(std::chrono::nanoseconds(1'000'000'000 / 60));
    auto ticker = std::make_shared<CaptureTicker>(std::move(source), interval, std::move(wantsFrame), std::move(clock),
                                                  std::move(queue), std::move(handler));
    std::lock_guard lock(ticker->mutex_);
    ticker->nextTick_ = ticker->clock_->now();
    ticker->scheduleTick(runtime::Duration::zero());
    return ticker;
}

CaptureTicker::CaptureTicker(Source source, runtime::Duration interval, std::function<bool(runtime::TimePoint)> wantsFrame,
                             std::shared_ptr<runtime::Clock> clock, std::shared_ptr<runtime::SerialQueue> queue,
                             DisplayCaptureStream::FrameHandler handler)
    : source_(std::move(source)),
      interval_(interval),
      wantsFrame_(std::move(wantsFrame)),
      clock_(std::move(clock)),
      queue_(std::move(queue)),
      handler_(std::move(handler))
{
}

CaptureTicker::~CaptureTicker() { stop(); }

void CaptureTicker::stop()
{
    std::lock_guard lock(mutex_);
    if (stopped_)
        return;
    stopped_ = true;
    timer_.cancel();
    if (source_.close)
        source_.close();
}

void CaptureTicker::scheduleTick(runtime::Duration delay)
{
    timer_ = clock_->schedule(delay, std::weak_ptr<runtime::Executor>(queue_), [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->tick();
    });
}

void CaptureTicker::wake()
{
    queue_->post([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->tickEarly();
    });
}

void CaptureTicker::tickEarly()
{
    std::lock_guard lock(mutex_);
    if (stopped_ || gone_ || (source_.news && !source_.news()))
        return;
    const auto now = clock_->now();
    const auto earliest = lastFrame_ ? *lastFrame_ + interval_ : now;
    if (earliest <= now) {
        timer_.cancel();
        nextTick_ = now;
        tick();
    } else if (earliest < nextTick_) {
        timer_.cancel();
        nextTick_ = earliest;
        scheduleTick(earliest - now);
    }
}

void CaptureTicker::tick()
{
    std::lock_guard lock(mutex_);
    if (stopped_ || gone_)
        return;
    bool changed = false;
    if (!source_.observe(changed)) {
        // The source is gone: delivery ends here.
        gone_ = true;
        timer_.cancel();
        if (source_.gone)
            source_.gone();
        return;
    }
    changed_ = changed_ || changed;
    const auto now = clock_->now();
    // Half a tick of slack: ticks of 1/30 s add up to a hair under a second after 30 of them.
    const bool due = frameRequested_.load() || changed_ || !lastFrame_ || now - *lastFrame_ + interval_ / 2 >= refreshInterval;
    // A picture nobody can take now is not grabbed; what made it due stays pending.
    if (due && (!wantsFrame_ || wantsFrame_(now))) {
        const bool requested = frameRequested_.exchange(false);
        if (auto frame = source_.grab()) {
            frame->captureTime = now;
            changed_ = false;
            lastFrame_ = now;
            handler_(*frame);
        } else if (requested) {
            frameRequested_.store(true);
        }
    }
    if (stopped_)
        return;
    if (source_.rest)
        source_.rest();
    // Ticks keep a fixed cadence: the time a tick took is not added to the interval. A tick that
    // ran late is not made up for with a burst.
    const auto after = clock_->now();
    nextTick_ += interval_;
    if (nextTick_ < after)
        nextTick_ = after;
    scheduleTick(nextTick_ - after);
}

}  // namespace kestrio::capture
