#include "model/control_event_queue.h"

#include <atomic>
#include <cmath>

namespace kestrio::model {

namespace {

constexpr double maxScrollDelta = 500;

bool mergeInto(link::ViewerControlEvent& last, const link::ViewerControlEvent& next)
{
    if (auto* move = std::get_if<link::control::Move>(&last)) {
        if (const auto* newer = std::get_if<link::control::Move>(&next)) {
            *move = *newer;
            return true;
        }
        return false;
    }
    auto* scroll = std::get_if<link::control::Scroll>(&last);
    const auto* newer = std::get_if<link::control::Scroll>(&next);
    if (!scroll || !newer)
        return false;
    const double deltaX = scroll->deltaX + newer->deltaX;
    const double deltaY = scroll->deltaY + newer->deltaY;
    if (std::abs(deltaX) > maxScrollDelta || std::abs(deltaY) > maxScrollDelta)
        return false;  // the next scroll carries the rest
    *scroll = {newer->x, newer->y, deltaX, deltaY};
    return true;
}

}  // namespace

struct ControlEventQueue::Backlog {
    std::atomic<std::size_t> events{0};
    std::atomic<std::size_t> textBytes{0};
};

class ControlEventQueue::Receipt {
public:
    Receipt(std::shared_ptr<Backlog> backlog, std::size_t textBytes) : backlog_(std::move(backlog)), textBytes_(textBytes)
    {
        backlog_->events.fetch_add(1);
        backlog_->textBytes.fetch_add(textBytes_);
    }
    ~Receipt()
    {
        backlog_->events.fetch_sub(1);
        backlog_->textBytes.fetch_sub(textBytes_);
    }
    Receipt(const Receipt&) = delete;
    Receipt& operator=(const Receipt&) = delete;

private:
    std::shared_ptr<Backlog> backlog_;
    std::size_t textBytes_;
};

ControlEventQueue::ControlEventQueue(Limits limits) : limits_(limits), backlog_(std::make_shared<Backlog>()) {}

ControlEventQueue::Admission ControlEventQueue::offer(const link::ViewerControlEvent& event, std::uint64_t generation)
{
    std::lock_guard lock(mutex_);
    if (generation > current_) {
        // Its connection became current before the model heard of it.
        current_ = generation;
        refused_ = false;
        dropQueuedLocked();
    }
    if (generation != current_ || refused_)
        return Admission::stale;
    if (!queued_.empty() && mergeInto(queued_.back().event, event))
        return Admission::queued;

    const auto* text = std::get_if<link::control::Text>(&event);
    const std::size_t textBytes = text ? text->text.size() : 0;
    if (backlog_->events.load() + 1 > limits_.events || backlog_->textBytes.load() + textBytes > limits_.textBytes) {
        refused_ = true;
        dropQueuedLocked();
        return Admission::overflow;
    }
    const bool wasEmpty = queued_.empty();
    queued_.push_back({event, generation, std::make_shared<Receipt>(backlog_, textBytes)});
    return wasEmpty ? Admission::queuedFirst : Admission::queued;
}

std::vector<ControlEventQueue::Entry> ControlEventQueue::take()
{
    std::lock_guard lock(mutex_);
    std::vector<Entry> taken(std::make_move_iterator(queued_.begin()), std::make_move_iterator(queued_.end()));
    queued_.clear();
    return taken;
}

void ControlEventQueue::setCurrentGeneration(std::uint64_t generation)
{
    std::lock_guard lock(mutex_);
    if (generation == current_)
        return;
    current_ = generation;
    refused_ = false;
    dropQueuedLocked();
}

bool ControlEventQueue::isCurrent(std::uint64_t generation) const
{
    std::lock_guard lock(mutex_);
    return generation == current_ && !refused_;
}

std::size_t ControlEventQueue::pendingEvents() const
{
    return backlog_->events.load();
}

std::size_t ControlEventQueue::pendingTextBytes() const
{
    return backlog_->textBytes.load();
}

void ControlEventQueue::dropQueuedLocked()
{
    queued_.clear();
}

}  // namespace kestrio::model
