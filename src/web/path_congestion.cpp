#include "web/path_congestion.h"

#include <algorithm>
#include <utility>

namespace kestrio::web {

void PathCongestion::transportFeedback(runtime::TimePoint now, double lossFraction, runtime::Duration delayGrowth)
{
    // The window's first packet had the delay the last one left, its last packet this one.
    const auto before = std::exchange(delay_, delay_ + delayGrowth);
    if (lowest_.empty() || now - lowest_.back().since >= lowestDelayBucket)
        lowest_.push_back({now, std::min(before, delay_)});
    else
        lowest_.back().delay = std::min({lowest_.back().delay, before, delay_});
    while (now - lowest_.front().since >= lowestDelayWindow)
        lowest_.pop_front();
    const auto lowest = std::min_element(lowest_.begin(), lowest_.end(), [](const Lowest& a, const Lowest& b) { return a.delay < b.delay; })->delay;
    judged(now, lossFraction >= lossLimit || delay_ - lowest >= queueLimit);
}

void PathCongestion::receiverReport(runtime::TimePoint now, double lossFraction, std::optional<runtime::Duration> roundTrip)
{
    bool standingQueue = false;
    if (roundTrip) {
        shortestRoundTrip_ = shortestRoundTrip_ ? std::min(*shortestRoundTrip_, *roundTrip) : *roundTrip;
        standingQueue = *roundTrip - *shortestRoundTrip_ >= standingQueueLimit;
    }
    judged(now, lossFraction >= lossLimit || standingQueue);
}

void PathCongestion::judged(runtime::TimePoint now, bool congested)
{
    if (congested)
        lastCongestedReport_ = now;
    else
        lastCongestedReport_.reset();
}

bool PathCongestion::congested(runtime::TimePoint now) const
{
    return lastCongestedReport_ && now - *lastCongestedReport_ < holdFor;
}

}  // namespace kestrio::web
