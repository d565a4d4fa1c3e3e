#pragma once

#include "desktop/input_event_poster.h"
#include "model/input_geometry.h"
#include "runtime/clock.h"
#include "runtime/executor.h"

#include <functional>
#include <memory>
#include <vector>

namespace kestrio::model {

// Moves the pointer and scrolls continuously while the viewer holds a direction: every 8 ms, by
// half the last vector received, until a zero vector arrives. Everything it does runs on its own
// serial queue; the setters only post there. The ticks keep one 8 ms cadence from creation but
// are only scheduled while there is motion, so an idle host does not wake up 125 times a second.
class MouseControlDriver final : public std::enable_shared_from_this<MouseControlDriver> {
public:
    struct Environment {
        std::shared_ptr<runtime::Executor> queue;
        std::shared_ptr<runtime::Clock> clock;
        std::shared_ptr<InputEventPoster> input;  // may be null: nothing is posted
        // The bounds of every active display, in the platform's order. Called on the queue.
        std::function<std::vector<ScreenRect>()> displayRects;
    };

    static constexpr runtime::Duration tickInterval = std::chrono::milliseconds(8);

    // The cadence starts now: ticks fall due 8 ms apart from 8 ms after creation.
    static std::shared_ptr<MouseControlDriver> create(Environment environment);
    ~MouseControlDriver();

    MouseControlDriver(const MouseControlDriver&) = delete;
    MouseControlDriver& operator=(const MouseControlDriver&) = delete;

    void setMouseVelocity(double dx, double dy);
    void setWheelVelocity(double dx, double dy);
    void haltMotion();
    // Ends the ticks for good.
    void stop();

private:
    explicit MouseControlDriver(Environment environment) : environment_(std::move(environment)) {}
    void scheduleTick(runtime::TimePoint due);
    void tick(runtime::TimePoint due);
    // Starts ticking again on the cadence when a step has become non-zero.
    void resumeTicks();
    void moveCursor(double dx, double dy);
    void post(std::function<void(MouseControlDriver&)> change);

    Environment environment_;
    // Queue only.
    ScreenPoint mouseStep_;
    ScreenPoint wheelStep_;
    bool stopped_ = false;
    bool ticking_ = false;
    runtime::TimePoint nextDue_{};  // the cadence: where the next tick falls (or would fall)
    runtime::TimerHandle timer_;
};

}  // namespace kestrio::model
