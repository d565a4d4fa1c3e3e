#pragma once

#include "runtime/clock.h"

#include <algorithm>
#include <chrono>

namespace kestrio::link {

// What one source network owes for attempts that were refused (identifiers that named no trusted
// phone, wrong pairing codes), so that secrets cannot be tried quickly: after each refusal its
// next attempt is judged no sooner than `first`, doubling up to `longest`; the count of refusals
// drops by one for each quiet period after the penalty has run out, so that a source that tries
// again as soon as it may keeps its count.
struct RefusalPenalty {
    static constexpr std::chrono::seconds first{1};
    static constexpr std::chrono::seconds longest{60};
    static constexpr std::chrono::seconds quietPeriod{30};

    int refusals = 0;
    runtime::TimePoint lastRefusal{};
    runtime::TimePoint notBefore{};  // no attempt is judged before this

    // The refusals once the quiet periods since the penalty ran out are taken off.
    int refusalsAt(runtime::TimePoint now) const
    {
        if (refusals == 0 || now <= notBefore)
            return refusals;
        const auto quiet = (now - notBefore) / quietPeriod;
        return quiet >= refusals ? 0 : refusals - static_cast<int>(quiet);
    }
    void refuse(runtime::TimePoint now)
    {
        refusals = refusalsAt(now) + 1;
        lastRefusal = now;
        const auto doubling = first * (1LL << std::min(refusals - 1, 16));
        notBefore = now + std::min<runtime::Duration>(doubling, longest);
    }
    // Nothing owed any more, nor remembered: the record may go.
    bool settled(runtime::TimePoint now) const { return refusalsAt(now) == 0 && now >= notBefore; }
};

}  // namespace kestrio::link
