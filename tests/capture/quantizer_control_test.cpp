#include "capture/quantizer_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace kestrio::capture {
namespace {

constexpr int fps = 60;
constexpr int bufferFrames = 8;
constexpr int pixels = 1728 * 972;

// A stand-in encoder whose frames follow the size model with a k of its own, which the control
// has to learn: key frames cost `keyFactor` times a predicted frame of the same activity.
struct Phase {
    int frames;
    double activity;  // per pixel
    int bitRate;
    bool keyFirst = false;
    bool settling = false;  // right after a rate cut: the backlog of the old rate drains first
    double hardness = 1;    // bytes per unit of activity, against the first phase's
};
struct PhaseResult {
    double averageBytes = 0;
    double largestBytes = 0;
    double largestBacklog = 0;
    int lastQuantizer = 0;
    double frameBytes = 0;
    bool settling = false;
};

std::vector<PhaseResult> simulate(const std::vector<Phase>& phases, double k = 0.02, double keyFactor = 3)
{
    QuantizerControl control(phases.front().bitRate, fps, bufferFrames, pixels);
    std::vector<PhaseResult> results;
    bool first = true;
    for (const Phase& phase : phases) {
        control.setBitRate(phase.bitRate);
        PhaseResult result;
        result.frameBytes = phase.bitRate / 8.0 / fps;
        result.settling = phase.settling;
        for (int i = 0; i < phase.frames; ++i) {
            const bool key = first || (phase.keyFirst && i == 0);
            first = false;
            const double activity = phase.activity * pixels;
            const int qp = control.quantizer(key, activity);
            const double bytes = 80 + pixels / 2048.0 + (key ? keyFactor : 1) * phase.hardness * k * activity * std::exp2(-qp / 6.0);
            control.encoded(key, activity, qp, static_cast<std::size_t>(bytes));
            result.averageBytes += bytes / phase.frames;
            result.largestBytes = std::max(result.largestBytes, bytes);
            result.largestBacklog = std::max(result.largestBacklog, control.backlog());
            result.lastQuantizer = qp;
        }
        results.push_back(result);
    }
    return results;
}

TEST(QuantizerControlTest, HoldsTheAverageAndNeverOverflowsTheBuffer)
{
    struct Case {
        const char* name;
        std::vector<Phase> phases;
        int measuredPhase;  // whose average must be the rate's, within 10 %
    };
    const std::vector<Case> cases = {
        {"steady motion", {{60, 20, 8'000'000}, {600, 20, 8'000'000}}, 1},
        {"still, then motion a thousand times busier", {{300, 0.02, 8'000'000}, {10, 20, 8'000'000}, {300, 20, 8'000'000}}, 2},
        {"rate cut to a quarter", {{300, 20, 8'000'000}, {60, 20, 2'000'000, false, true}, {300, 20, 2'000'000}}, 2},
        {"key frame on request mid-stream", {{300, 20, 8'000'000}, {300, 20, 8'000'000, true}}, 1},
        {"busy, then small changes", {{300, 40, 8'000'000}, {300, 0.5, 8'000'000}}, 0},
        // What the activity misses (changes between the rows it samples) makes content costlier
        // than it looks: the control learns that without a run of oversized frames.
        {"content suddenly costlier than it measures", {{300, 20, 8'000'000}, {300, 20, 8'000'000, false, false, 5}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto results = simulate(c.phases);
        const PhaseResult& measured = results[static_cast<std::size_t>(c.measuredPhase)];
        EXPECT_NEAR(measured.averageBytes, measured.frameBytes, measured.frameBytes * 0.1);
        for (const PhaseResult& result : results) {
            if (result.settling)
                continue;
            // A frame never takes longer than the buffer's span to cross a link at the rate.
            EXPECT_LE(result.largestBytes, result.frameBytes * bufferFrames * 1.05);
            EXPECT_LE(result.largestBacklog, result.frameBytes * bufferFrames * 1.05);
        }
    }
}

TEST(QuantizerControlTest, SmallChangesAfterBusyContentGetTheFinestQuantizer)
{
    const auto results = simulate({{300, 40, 8'000'000}, {20, 0.5, 8'000'000}});
    EXPECT_GT(results[0].lastQuantizer, 30);
    EXPECT_EQ(results[1].lastQuantizer, QuantizerControl::finestQuantizer);
}

}  // namespace
}  // namespace kestrio::capture
