#pragma once

#include "capture/video_frame.h"
#include "desktop/display_capture.h"
#include "runtime/clock.h"
#include "runtime/serial_queue.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace kestrio::capture {

// The cadence every capture backend delivers frames at: a tick at the minimum frame interval,
// on the capture queue, that asks the source what changed and grabs a picture only when one is
// due — the picture changed, a frame was asked for, none was delivered yet, or a second has
// passed since the last one — and the consumer wants one now. A source that learns of a change
// between ticks says so (wake()): the tick then comes as soon as the interval since the last
// frame allows, at once after a quiet moment, and the cadence goes on from there.
class CaptureTicker : public std::enable_shared_from_this<CaptureTicker> {
public:
    // A still screen is still delivered this often.
    static constexpr std::chrono::seconds refreshInterval{1};

    struct Source {
        // Reads what happened since the last tick; sets `changed` when the picture changed. False
        // when the source is gone: delivery ends there.
        std::function<bool(bool& changed)> observe;
        // A frame of the picture as it is now, or none when it cannot be made now (it is then
        // still due at the next tick). The ticker stamps its time.
        std::function<std::optional<VideoFrame>()> grab;
        // Releases what the source holds; runs once, when the ticker stops.
        std::function<void()> close;
        // Optional: runs at the end of every tick, once the source is no longer asked anything
        // until the next one.
        std::function<void()> rest;
        // Optional: on a wake, reads what the source was told since (without counting as a
        // tick) and says whether there is anything to grab; without it every wake is a change.
        std::function<bool()> news;
        // Optional: told once, inside the tick, when observe() found the source gone.
        std::function<void()> gone;
    };

    // `interval` zero: 1/60 s.
    static std::shared_ptr<CaptureTicker> start(Source source, runtime::Duration interval,
                                                std::function<bool(runtime::TimePoint)> wantsFrame,
                                                std::shared_ptr<runtime::Clock> clock,
                                                std::shared_ptr<runtime::SerialQueue> queue,
                                                DisplayCaptureStream::FrameHandler handler);

    CaptureTicker(Source source, runtime::Duration interval, std::function<bool(runtime::TimePoint)> wantsFrame,
                  std::shared_ptr<runtime::Clock> clock, std::shared_ptr<runtime::SerialQueue> queue,
                  DisplayCaptureStream::FrameHandler handler);
    ~CaptureTicker();

    void requestFrame() { frameRequested_.store(true); }
    // The source may have news: ticks as soon as a frame may be taken. Any thread.
    void wake();
    // When it returns, no tick is running and none will run again. May be called from the handler.
    void stop();

private:
    void scheduleTick(runtime::Duration delay);
    void tick();
    void tickEarly();

    Source source_;
    runtime::Duration interval_;
    std::function<bool(runtime::TimePoint)> wantsFrame_;
    std::shared_ptr<runtime::Clock> clock_;
    std::shared_ptr<runtime::SerialQueue> queue_;
    DisplayCaptureStream::FrameHandler handler_;

    // Held while a tick runs, so that stop() can wait for it. Recursive: the handler may stop the
    // stream from inside the tick.
    std::recursive_mutex mutex_;
    bool stopped_ = false;
    bool gone_ = false;  // the source is gone: no tick asks it anything again
    runtime::TimerHandle timer_;
    std::atomic<bool> frameRequested_{true};
    bool changed_ = false;
    std::optional<runtime::TimePoint> lastFrame_;
    runtime::TimePoint nextTick_{};
};

// Wakes a ticker that is made after the source reporting to it: the source gets wake() before the
// ticker exists, and attach() names the ticker once it does. wake() is safe on any thread and
// does nothing before attach() or after the ticker went.
class TickerWaker {
public:
    void attach(const std::shared_ptr<CaptureTicker>& ticker)
    {
        std::lock_guard lock(mutex_);
        ticker_ = ticker;
    }
    void wake() const
    {
        std::shared_ptr<CaptureTicker> ticker;
        {
            std::lock_guard lock(mutex_);
            ticker = ticker_.lock();
        }
        if (ticker)
            ticker->wake();
    }

private:
    mutable std::mutex mutex_;
    std::weak_ptr<CaptureTicker> ticker_;
};

// A capture stream that is its ticker.
class TickedCaptureStream final : public DisplayCaptureStream {
public:
    explicit TickedCaptureStream(std::shared_ptr<CaptureTicker> ticker) : ticker_(std::move(ticker)) {}
    ~TickedCaptureStream() override { ticker_->stop(); }

    void stop() override { ticker_->stop(); }
    void requestFrame() override { ticker_->requestFrame(); }

private:
    std::shared_ptr<CaptureTicker> ticker_;
};

// Starts ticking over `source`, an object with observe(bool&), grab() and close(), and rest()
// and news() where it has them (see CaptureTicker::Source). When observe() finds the source
// gone, the configuration's `ended` hears why: the source's ending() where it has one, else that
// the source was lost. `watch`, when given, is handed what wakes the ticker, for the source's
// reports between ticks.
template <typename Object>
std::unique_ptr<DisplayCaptureStream> startTicking(std::shared_ptr<Object> source, const CaptureConfiguration& configuration,
                                                   std::shared_ptr<runtime::Clock> clock, std::shared_ptr<runtime::SerialQueue> queue,
                                                   DisplayCaptureStream::FrameHandler handler,
                                                   const std::function<void(std::function<void()>)>& watch = {})
{
    CaptureTicker::Source ticked;
    ticked.observe = [source](bool& changed) { return source->observe(changed); };
    ticked.grab = [source] { return source->grab(); };
    ticked.close = [source] { source->close(); };
    if constexpr (requires { source->rest(); })
        ticked.rest = [source] { source->rest(); };
    if constexpr (requires { source->news(); })
        ticked.news = [source] { return source->news(); };
    if (configuration.ended) {
        ticked.gone = [source, ended = configuration.ended] {
            if constexpr (requires { source->ending(); })
                ended(source->ending());
            else
                ended(CaptureEnd{CaptureEnd::Cause::sourceLost, "the screen capture stopped"});
        };
    }
    auto waker = std::make_shared<TickerWaker>();
    if (watch)
        watch([waker] { waker->wake(); });
    auto ticker = CaptureTicker::start(std::move(ticked), configuration.minimumFrameInterval, configuration.wantsFrame, std::move(clock),
                                       std::move(queue), std::move(handler));
    waker->attach(ticker);
    return std::make_unique<TickedCaptureStream>(std::move(ticker));
}

}  // namespace kestrio::capture
