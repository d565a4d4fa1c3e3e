#include "capture/quantizer_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace kestrio::capture {
namespace {

constexpr int fps = 60, bufferFrames = 8, pixels = 1728 * 972;

// Runs of frames from a stand-in encoder whose sizes follow the control's model with a k of its
// own, which the control has to learn; a key frame costs three predicted frames of its activity.
struct Phase {
    int frames;
    double activity;  // per pixel
    int bitRate;
    bool keyFirst = false;
    bool settling = false;  // right after a rate cut: the backlog of the old rate drains first
    double hardness = 1;    // bytes per unit of activity, against the first phase's
};

TEST(QuantizerControlTest, HoldsTheAverageNeverOverflowsTheBufferAndGivesSmallChangesTheFinestQuantizer)
{
    struct Case {
        const char* name;
        std::vector<Phase> phases;
        std::size_t measured;  // the phase whose average must be the rate's, within 10 %
        bool finestAtEnd = false;
    };
    const Case cases[] = {
        {"steady motion", {{60, 20, 8'000'000}, {600, 20, 8'000'000}}, 1},
        {"still, then motion a thousand times busier", {{300, 0.02, 8'000'000}, {10, 20, 8'000'000}, {300, 20, 8'000'000}}, 2},
        {"rate cut to a quarter", {{300, 20, 8'000'000}, {60, 20, 2'000'000, false, true}, {300, 20, 2'000'000}}, 2},
        {"key frame on request mid-stream", {{300, 20, 8'000'000}, {300, 20, 8'000'000, true}}, 1},
        {"busy, then small changes", {{300, 40, 8'000'000}, {20, 0.5, 8'000'000}}, 0, true},
        // What the activity misses (changes between the rows it samples) makes content costlier
        // than it looks: the control learns that without a run of oversized frames.
        {"content suddenly costlier than it measures", {{300, 20, 8'000'000}, {300, 20, 8'000'000, false, false, 5}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QuantizerControl control(c.phases.front().bitRate, fps, bufferFrames, pixels);
        std::vector<int> lastQuantizers;
        for (std::size_t p = 0; p < c.phases.size(); ++p) {
            const Phase& phase = c.phases[p];
            control.setBitRate(phase.bitRate);
            const double frameBytes = phase.bitRate / 8.0 / fps, activity = phase.activity * pixels;
            double total = 0, largest = 0;
            int qp = 0;
            for (int i = 0; i < phase.frames; ++i) {
                const bool key = i == 0 && (p == 0 || phase.keyFirst);
                qp = control.quantizer(key, activity);
                const double bytes = 80 + pixels / 2048.0 + (key ? 3 : 1) * phase.hardness * 0.02 * activity * std::exp2(-qp / 6.0);
                control.encoded(key, activity, qp, static_cast<std::size_t>(bytes));
                total += bytes;
                largest = std::max({largest, bytes, control.backlog()});
            }
            // Neither a frame nor the backlog takes longer than the buffer's span to cross a link at the rate.
            EXPECT_TRUE(phase.settling || largest <= frameBytes * bufferFrames * 1.05) << "phase " << p;
            EXPECT_TRUE(p != c.measured || std::abs(total / phase.frames - frameBytes) <= frameBytes * 0.1) << total / phase.frames;
            lastQuantizers.push_back(qp);
        }
        EXPECT_TRUE(!c.finestAtEnd || (lastQuantizers[0] > 30 && lastQuantizers.back() == QuantizerControl::finestQuantizer));
    }
}

}  // namespace
}  // namespace kestrio::capture
