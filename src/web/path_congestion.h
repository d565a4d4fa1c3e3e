#pragma once

#include "runtime/clock.h"

#include <deque>
#include <optional>

namespace kestrio::web {

// Whether the path to a browser is full, judged from what the browser reports about the packets
// it got. A peer connection has no back-pressure the way a socket has: RTP over UDP goes out at
// whatever rate the encoder makes, and a path that cannot carry it queues and then drops. The
// browser tells of both: transport-wide feedback (which packets arrived and when, every few tens
// of milliseconds) and RTCP receiver reports (fraction lost and round trip, about once a second).
//
// The path counts as congested while the latest report says one of:
// - at least 10 % of the packets were lost;
// - the one-way delay stands 30 ms or more above its lowest of the last half minute (a queue is
//   building at the narrowest link; the feedback gives how the delay changed, which adds up to
//   the delay itself, less a constant that the lowest takes away: the two clocks' offset);
// - the round trip stands 100 ms or more above the shortest one seen (a queue has built);
// and for at most a second after such a report unless a later one says the path is clear, so that
// a browser that stops reporting does not keep the rate down.
class PathCongestion {
public:
    static constexpr double lossLimit = 0.10;
    static constexpr runtime::Duration queueLimit = std::chrono::milliseconds(30);
    // The lowest delay is kept per 5 s, for 30 s: long enough to see the empty queue, short
    // enough that the drift between the two clocks (a tenth of a millisecond a second) and a
    // lost feedback's change do not add up.
    static constexpr runtime::Duration lowestDelayBucket = std::chrono::seconds(5);
    static constexpr runtime::Duration lowestDelayWindow = std::chrono::seconds(30);
    static constexpr runtime::Duration standingQueueLimit = std::chrono::milliseconds(100);
    static constexpr runtime::Duration holdFor = std::chrono::seconds(1);

    // Transport-wide feedback over its window: packets lost (0..1) and how much the one-way
    // delay grew from its first packet to its last.
    void transportFeedback(runtime::TimePoint now, double lossFraction, runtime::Duration delayGrowth);
    // A receiver report: fraction lost (0..1) since the last one, and the round trip when known.
    void receiverReport(runtime::TimePoint now, double lossFraction, std::optional<runtime::Duration> roundTrip);

    bool congested(runtime::TimePoint now) const;

private:
    void judged(runtime::TimePoint now, bool congested);

    struct Lowest {
        runtime::TimePoint since;
        runtime::Duration delay;
    };

    std::optional<runtime::TimePoint> lastCongestedReport_;
    runtime::Duration delay_{};  // the one-way delay, less the clocks' offset
    std::deque<Lowest> lowest_;
    std::optional<runtime::Duration> shortestRoundTrip_;
};

}  // namespace kestrio::web
