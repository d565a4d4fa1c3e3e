// Judging the path to a browser from its feedback: what counts as congested, and for how long.
#include "web/path_congestion.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kestrio::web {
namespace {

using namespace std::chrono_literals;

struct Report {
    runtime::Duration at;
    std::function<void(PathCongestion&, runtime::TimePoint)> give;
};

Report feedback(runtime::Duration at, double loss, runtime::Duration delayGrowth)
{
    return {at, [=](PathCongestion& path, runtime::TimePoint now) { path.transportFeedback(now, loss, delayGrowth); }};
}

Report receiverReport(runtime::Duration at, double loss, std::optional<runtime::Duration> roundTrip)
{
    return {at, [=](PathCongestion& path, runtime::TimePoint now) { path.receiverReport(now, loss, roundTrip); }};
}

TEST(PathCongestion, FollowsTheLatestReportAndForgetsAStaleOne)
{
    struct Case {
        std::string name;
        std::vector<Report> reports;
        runtime::Duration askedAt;
        bool congested;
    };
    const std::vector<Case> cases = {
        {"no report", {}, 0s, false},
        {"a clean path", {feedback(0s, 0.0, 2ms), receiverReport(100ms, 0.0, 2ms)}, 200ms, false},
        {"loss under the limit", {feedback(0s, 0.09, 0ms)}, 10ms, false},
        {"loss at the limit", {feedback(0s, 0.10, 0ms)}, 10ms, true},
        {"a queue building over reports", {feedback(0s, 0.0, 10ms), feedback(60ms, 0.0, 10ms), feedback(120ms, 0.0, 10ms)}, 130ms, true},
        {"delay that comes and goes", {feedback(0s, 0.0, 20ms), feedback(60ms, 0.0, -20ms), feedback(120ms, 0.0, 20ms)}, 130ms, false},
        {"a queue that drains", {feedback(0s, 0.0, 40ms), feedback(60ms, 0.0, -40ms)}, 70ms, false},
        {"measured from the lowest delay", {feedback(0s, 0.0, -50ms), feedback(60ms, 0.0, 29ms)}, 70ms, false},
        {"loss in a receiver report", {receiverReport(0s, 26 / 256.0, std::nullopt)}, 10ms, true},
        {"a standing queue", {receiverReport(0s, 0.0, 2ms), receiverReport(1s, 0.0, 102ms)}, 1010ms, true},
        {"a round trip that was always long", {receiverReport(0s, 0.0, 150ms), receiverReport(1s, 0.0, 160ms)}, 1010ms, false},
        {"the shortest round trip is remembered", {receiverReport(0s, 0.0, 2ms), receiverReport(1s, 0.0, 50ms), receiverReport(2s, 0.0, 103ms)}, 2010ms, true},
        {"a clean report ends it", {feedback(0s, 0.5, 0ms), feedback(50ms, 0.0, 0ms)}, 60ms, false},
        {"either kind ends it", {feedback(0s, 0.5, 0ms), receiverReport(50ms, 0.0, std::nullopt)}, 60ms, false},
        {"held while reports stop", {feedback(0s, 0.5, 0ms)}, 999ms, true},
        {"forgotten a second after the last", {feedback(0s, 0.5, 0ms), feedback(500ms, 0.5, 0ms)}, 1500ms, false},
        {"renewed by each report", {feedback(0s, 0.5, 0ms), feedback(900ms, 0.5, 0ms)}, 1500ms, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const runtime::TimePoint start{};
        PathCongestion path;
        for (const auto& report : c.reports)
            report.give(path, start + report.at);
        EXPECT_EQ(path.congested(start + c.askedAt), c.congested);
    }
}

// The two clocks drift apart (here 100 ppm: the delay seems to grow 10 us every 100 ms); over ten
// minutes that adds up to 60 ms, which is no queue. A queue that builds meanwhile still is.
TEST(PathCongestion, TheClocksDriftingApartIsNoQueue)
{
    const runtime::TimePoint start{};
    PathCongestion path;
    runtime::Duration at{};
    for (; at < 10min; at += 100ms)
        path.transportFeedback(start + at, 0.0, 10us);
    EXPECT_FALSE(path.congested(start + at));
    for (int report = 0; report < 3; ++report, at += 100ms)
        path.transportFeedback(start + at, 0.0, 10ms);
    EXPECT_TRUE(path.congested(start + at));
}

}  // namespace
}  // namespace kestrio::web
