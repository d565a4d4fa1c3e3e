#pragma once

#include "link/viewer_control_event.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrio::model {

// The viewer's control events on their way from the link's queue to the input they become, with
// a bound on how much of them may be waiting.
//
// An event counts from the moment it is offered until its receipt is let go: the model hands the
// receipt on to the work that posts the event (on the input queue, for typing), so the bound
// covers that backlog too. Consecutive moves are merged into the last one, consecutive scrolls
// into one of the summed deltas (while each sum stays within the ±500 a scroll may carry); a
// press, release or anything else in between ends the merging, so order is kept.
//
// Each event carries the number of the connection it came from. Only the current connection's
// events are kept: a newer one, or none, makes the others stale, queued or not. A connection that
// offers more than the bound allows is refused from then on; its events are forgotten and the
// caller is told once, so that it can end the connection.
//
// Thread-safe: events are offered on the link's queue, taken on the main executor, and receipts
// let go on any thread.
class ControlEventQueue {
public:
    struct Limits {
        std::size_t events = 512;
        // UTF-8 bytes of text not yet typed. A 4,096-character paste of Korean is about 12 KiB.
        std::size_t textBytes = 64 * 1024;
    };

    // Held while an event's effect is still to come; letting go of it frees its place.
    class Receipt;

    struct Entry {
        link::ViewerControlEvent event;
        std::uint64_t generation = 0;
        std::shared_ptr<Receipt> receipt;
    };

    enum class Admission {
        queuedFirst,  // queued into an empty queue: the caller schedules one take()
        queued,       // queued or merged behind others; a take() is already due
        stale,        // from a connection that is no longer current, or was refused: dropped
        overflow,     // this connection exceeded the bound: it is refused from now on
    };

    explicit ControlEventQueue(Limits limits);
    ControlEventQueue() : ControlEventQueue(Limits{}) {}

    Admission offer(const link::ViewerControlEvent& event, std::uint64_t generation);
    // Everything queued, oldest first.
    std::vector<Entry> take();
    // The connection now current (0: none). Events of any other are dropped, queued or not.
    void setCurrentGeneration(std::uint64_t generation);
    bool isCurrent(std::uint64_t generation) const;

    // What is waiting, queued or still to be posted.
    std::size_t pendingEvents() const;
    std::size_t pendingTextBytes() const;

private:
    struct Backlog;

    void dropQueuedLocked();

    Limits limits_;
    std::shared_ptr<Backlog> backlog_;
    mutable std::mutex mutex_;
    std::deque<Entry> queued_;
    std::uint64_t current_ = 0;
    bool refused_ = false;
};

}  // namespace kestrio::model
