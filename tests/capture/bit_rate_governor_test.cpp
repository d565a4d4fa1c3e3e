#include "capture/bit_rate_governor.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using capture::BitRateGovernor;

// The rate after each window of (pictures due, of which refused), the pictures 1 ms apart and
// the first of the next window closing it.
TEST(BitRateGovernor, FollowsTheLinkWindowByWindow)
{
    const std::tuple<const char*, int, std::vector<std::pair<int, int>>, std::vector<int>> cases[] = {
        {"a link that takes everything keeps the nominal rate", 8'000'000, {{30, 0}, {30, 1}, {1, 0}}, {8'000'000, 8'000'000, 8'000'000}},
        {"a busy moment is not a slow link", 8'000'000, {{30, 2}, {4, 2}}, {8'000'000, 8'000'000}},
        {"refusals lower the rate by steps down to the floor", 1'000'000, {{30, 27}, {30, 10}, {30, 27}, {30, 27}, {30, 27}, {30, 27}},
         {700'000, 490'000, 343'000, 240'100, 200'000, 200'000}},
        {"two calm windows in a row raise it again, up to the nominal rate", 1'000'000, {{30, 27}, {30, 1}, {30, 0}, {30, 0}, {30, 0}, {30, 0}, {30, 0}},
         {700'000, 700'000, 770'000, 847'000, 931'700, 1'000'000, 1'000'000}},
        {"a window in between holds the rate and restarts the count of calm ones", 1'000'000, {{30, 27}, {30, 0}, {30, 5}, {30, 0}, {30, 0}},
         {700'000, 700'000, 700'000, 700'000, 770'000}},
        {"a stream slower than the floor is not raised", 100'000, {{30, 27}, {30, 0}, {30, 0}}, {100'000, 100'000, 100'000}},
    };
    for (const auto& [name, nominal, windows, expected] : cases) {
        BitRateGovernor governor(nominal);
        std::vector<int> rates;
        runtime::TimePoint start{};
        for (const auto& [due, refused] : windows) {
            for (int i = 0; i < due; ++i)
                governor.pictureDue(start + std::chrono::milliseconds(i), i < refused);
            governor.pictureDue(start += BitRateGovernor::window, false);
            rates.push_back(governor.bitRate());
            start += std::chrono::milliseconds(1);
        }
        EXPECT_EQ(rates, expected) << name;
    }
}

}  // namespace
}  // namespace kestrio::test
