#include "model/mouse_control_driver.h"

namespace kestrio::model {

namespace {

ScreenPoint halfStep(double dx, double dy)
{
    if (dx == 0 && dy == 0)
        return {};
    return {dx * 0.5, dy * 0.5};
}

}  // namespace

std::shared_ptr<MouseControlDriver> MouseControlDriver::create(Environment environment)
{
    std::shared_ptr<MouseControlDriver> driver(new MouseControlDriver(std::move(environment)));
    driver->nextDue_ = driver->environment_.clock->now() + tickInterval;
    return driver;
}

MouseControlDriver::~MouseControlDriver()
{
    timer_.cancel();
}

void MouseControlDriver::post(std::function<void(MouseControlDriver&)> change)
{
    environment_.queue->post([weak = weak_from_this(), change = std::move(change)] {
        if (auto self = weak.lock())
            change(*self);
    });
}

void MouseControlDriver::setMouseVelocity(double dx, double dy)
{
    post([dx, dy](MouseControlDriver& driver) {
        driver.mouseStep_ = halfStep(dx, dy);
        driver.resumeTicks();
    });
}

void MouseControlDriver::setWheelVelocity(double dx, double dy)
{
    post([dx, dy](MouseControlDriver& driver) {
        driver.wheelStep_ = halfStep(dx, dy);
        driver.resumeTicks();
    });
}

void MouseControlDriver::haltMotion()
{
    post([](MouseControlDriver& driver) {
        driver.mouseStep_ = {};
        driver.wheelStep_ = {};
    });
}

void MouseControlDriver::stop()
{
    post([](MouseControlDriver& driver) {
        driver.stopped_ = true;
        driver.timer_.cancel();
    });
}

void MouseControlDriver::resumeTicks()
{
    if (ticking_ || stopped_ || (mouseStep_ == ScreenPoint{} && wheelStep_ == ScreenPoint{}))
        return;
    // Back on the cadence: the first of its points that has not passed yet.
    const auto now = environment_.clock->now();
    if (nextDue_ < now)
        nextDue_ += (now - nextDue_ + tickInterval - runtime::Duration(1)) / tickInterval * tickInterval;
    scheduleTick(nextDue_);
}

void MouseControlDriver::scheduleTick(runtime::TimePoint due)
{
    if (stopped_)
        return;
    ticking_ = true;
    nextDue_ = due;
    const auto delay = std::max(due - environment_.clock->now(), runtime::Duration::zero());
    timer_ = environment_.clock->schedule(delay, environment_.queue, [weak = weak_from_this(), due] {
        if (auto self = weak.lock())
            self->tick(due);
    });
}

void MouseControlDriver::tick(runtime::TimePoint due)
{
    if (stopped_)
        return;
    if (mouseStep_ != ScreenPoint{})
        moveCursor(mouseStep_.x, mouseStep_.y);
    if (wheelStep_ != ScreenPoint{} && environment_.input) {
        const auto [horizontal, vertical] = scrollAmounts(wheelStep_.x, wheelStep_.y);
        if (horizontal != 0 || vertical != 0)
            environment_.input->postScroll(vertical, horizontal);
    }
    // A fixed cadence: a late tick is not made up for with a burst.
    auto next = due + tickInterval;
    if (next < environment_.clock->now())
        next = environment_.clock->now();
    if (mouseStep_ == ScreenPoint{} && wheelStep_ == ScreenPoint{}) {
        ticking_ = false;
        nextDue_ = next;
        return;
    }
    scheduleTick(next);
}

void MouseControlDriver::moveCursor(double dx, double dy)
{
    if (!environment_.input)
        return;
    const auto rects = environment_.displayRects ? environment_.displayRects() : std::vector<ScreenRect>{};
    std::vector<ScreenRect> active;
    for (const auto& rect : rects)
        if (!rect.empty())
            active.push_back(rect);
    const ScreenPoint target = relativeMoveTarget(active, environment_.input->pointerLocation(), dx, dy);
    environment_.input->warpPointer(target);
    environment_.input->postMouseEvent(MouseEventType::moved, target);
}

}  // namespace kestrio::model
