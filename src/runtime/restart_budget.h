#pragma once

#include "runtime/clock.h"

#include <cstddef>
#include <deque>

namespace kestrio::runtime {

// Allows at most `count` restarts of something within any `window` of time, so that what keeps
// dying is given up on instead of being started again forever.
class RestartBudget {
public:
    RestartBudget(std::size_t count, Duration window) : count_(count), window_(window) {}

    // Whether a restart at `now` is within the budget; if so, it counts from now on.
    bool take(TimePoint now)
    {
        while (!taken_.empty() && now - taken_.front() >= window_)
            taken_.pop_front();
        if (taken_.size() >= count_)
            return false;
        taken_.push_back(now);
        return true;
    }

private:
    std::size_t count_;
    Duration window_;
    std::deque<TimePoint> taken_;
};

}  // namespace kestrio::runtime
