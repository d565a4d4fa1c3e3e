#include "capture/bit_rate_governor.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace kestrio::capture {

namespace {

// A window in which the link refused 30 % of the due pictures or more (and at least three) lowers
// the rate to 70 %; two windows in a row in which it refused at most 5 % raise it by 10 %.
constexpr int fewestRefusals = 3;
constexpr int calmWindowsBeforeRaising = 2;

int scaled(int bitRate, int tenths)
{
    return static_cast<int>(static_cast<std::int64_t>(bitRate) * tenths / 10);
}

}  // namespace

BitRateGovernor::BitRateGovernor(int nominalBitRate)
    : nominal_(nominalBitRate), lowest_(std::min(nominalBitRate, lowestBitRate)), bitRate_(nominalBitRate)
{
}

std::optional<int> BitRateGovernor::pictureDue(runtime::TimePoint now, bool refusedByLink)
{
    std::optional<int> changed;
    if (!windowStart_) {
        windowStart_ = now;
    } else if (now - *windowStart_ >= window) {
        changed = closeWindow();
        windowStart_ = now;
    }
    ++due_;
    refused_ += refusedByLink ? 1 : 0;
    return changed;
}

std::optional<int> BitRateGovernor::closeWindow()
{
    const int due = std::exchange(due_, 0);
    const int refused = std::exchange(refused_, 0);
    int next = bitRate_;
    if (refused >= fewestRefusals && refused * 10 >= due * 3) {
        calmWindows_ = 0;
        next = std::max(lowest_, scaled(bitRate_, 7));
    } else if (refused * 20 <= due) {
        if (++calmWindows_ >= calmWindowsBeforeRaising)
            next = std::min(nominal_, scaled(bitRate_, 11));
    } else {
        calmWindows_ = 0;
    }
    if (next == bitRate_)
        return std::nullopt;
    bitRate_ = next;
    return next;
}

}  // namespace kestrio::capture
