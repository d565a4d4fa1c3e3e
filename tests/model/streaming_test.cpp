// Starting and stopping streams as viewers come and go, the virtual monitor with its fallback to
// mirroring, viewer requests and the re-advertising loop, all in virtual time.
#include "model/model_harness.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using model::SourceMode;

// Extended mode on a new monitor per viewer (here one the pointer cannot enter, which the model
// reports while it holds it); the viewer's mode and stop requests; mirroring the chosen display
// with the options of its start.
TEST(Streaming, ViewersStartExtendedModeOnANewMonitorAndAskForModesAndStops)
{
    ModelHarness harness;
    harness.displays->monitorsKeepPointerOut = true;
    auto& model = harness.create();
    auto& runs = harness.captures.runs;
    EXPECT_FALSE(model.streaming().virtualMonitorUnreachable());
    harness.connectViewer();
    ASSERT_EQ(runs.size(), 1u);
    const auto monitor = runs[0].displayID;
    EXPECT_TRUE(harness.displays->liveMonitors.contains(monitor));
    EXPECT_EQ(model.streaming().activeDisplayID(), monitor);
    EXPECT_TRUE(model.streaming().virtualMonitorUnreachable());
    harness.disconnectViewer();
    EXPECT_TRUE(model.streaming().isStreaming()) << "the stream outlives the viewer";
    harness.connectViewer();
    ASSERT_EQ(runs.size(), 2u) << "a new viewer restarts it";
    EXPECT_EQ(harness.captures.running(), 1);
    EXPECT_FALSE(harness.displays->liveMonitors.contains(monitor));
    harness.run(stopStreaming);
    EXPECT_TRUE(harness.displays->liveMonitors.empty());
    EXPECT_FALSE(model.streaming().virtualMonitorUnreachable());
    harness.link->onStateChange();
    harness.settle();
    EXPECT_TRUE(model.streaming().isStreaming()) << "the connection's path changed: the viewer is served again";
    EXPECT_TRUE(model.streaming().virtualMonitorUnreachable());

    harness.send({link::control::SourceMode{SourceMode::virtualDisplay}});
    EXPECT_EQ(runs.size(), 3u) << "the current mode: nothing happens";
    harness.send({link::control::SourceMode{SourceMode::mirror}});
    ASSERT_EQ(runs.size(), 4u);
    harness.settle();
    EXPECT_EQ(harness.input->prepared, 4) << "each start readies the input for a first touch";
    EXPECT_EQ(runs[3].displayID, 1u) << "no selection: the first display";
    EXPECT_TRUE(harness.displays->liveMonitors.empty());
    EXPECT_FALSE(model.streaming().virtualMonitorUnreachable());
    model.streaming().setQuality(model::StreamQuality::sharp);
    model.streaming().setFrameRate(model::StreamFrameRate::thirty);
    EXPECT_EQ(runs.size(), 4u) << "a running stream is not restarted";
    harness.send({link::control::StopStreaming{}});
    EXPECT_EQ(harness.captures.running(), 0);
    model.streaming().setSelectedDisplayID(2);
    harness.run(startStreaming);
    EXPECT_EQ(runs.back().displayID, 2u);
    EXPECT_EQ(runs.back().quality, model::StreamQuality::sharp);
    EXPECT_EQ(runs.back().frameRate, model::StreamFrameRate::thirty);
    harness.run(stopStreaming);
    harness.displays->physical.push_back(physicalDisplay(3, 3200));
    harness.send({link::control::SourceMode{SourceMode::virtualDisplay}});
    EXPECT_EQ(model.streaming().sourceMode(), SourceMode::virtualDisplay);
    EXPECT_EQ(model.streaming().displays().size(), 3u) << "the list is reloaded";
    EXPECT_EQ(runs.size(), 5u) << "and nothing starts";

    model.streaming().setAutoStartOnConnect(false);
    harness.connectViewer();
    EXPECT_FALSE(model.streaming().isStreaming());
}

TEST(Streaming, FailedStartsFallBackToMirroringOrShowTheirError)
{
    const int perAttempt = display::VirtualDisplayManager::maximumAttempts;
    const auto mirrorFallback = std::optional<std::string>(model::mirrorFallbackText);
    struct Case {
        const char* name;
        std::function<void(ModelHarness&)> arrange;
        std::optional<std::uint32_t> captured;  // none: nothing streams
        std::optional<std::string> error, launch;
        int creations;
        runtime::Duration took;
    };
    const Case cases[] = {
        {"monitor fails", [](ModelHarness& h) { h.displays->monitorsFail = true; }, 1u, {}, mirrorFallback, 3 * perAttempt, 900ms},
        // Each attempt looks 60 times, 0.25 s apart; 0.45 s between attempts.
        {"monitor never listed", [](ModelHarness& h) { h.displays->monitorsAppear = false, h.displays->monitorsKeepPointerOut = true; }, 1u,
         {}, mirrorFallback, 3, 3 * 15s + 900ms},
        {"capture fails on the monitor", [](ModelHarness& h) { h.captures.failingDisplays = {100}; }, 1u, {}, mirrorFallback, 1, 0s},
        {"nothing to fall back to", [](ModelHarness& h) { h.displays->physical.clear(), h.displays->monitorsAppear = false; }, {},
         "가상 모니터가 macOS에 표시되지 않았습니다.", {}, 3, 3 * 15s + 900ms},
        {"mirror without displays", [](ModelHarness& h) { h.model->streaming().setSourceMode(SourceMode::mirror), h.displays->physical.clear(); }, {},
         "가상 모니터를 만들 수 없습니다.", {}, 0, 0s},
        {"mirror capture fails", [](ModelHarness& h) { h.model->streaming().setSourceMode(SourceMode::mirror), h.captures.failingDisplays = {1}; }, {},
         "화면을 캡처할 수 없음", {}, 0, 0s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelHarness harness;
        auto& model = harness.create();
        c.arrange(harness);
        harness.run(startStreaming);
        if (c.took > 0s) {  // while busy, both are ignored
            harness.run(startStreaming);
            harness.run(stopStreaming);
        }
        runtime::Duration took{};
        for (; model.streaming().isBusy() && took < 100s; took += 50ms)
            harness.advance(50ms);
        EXPECT_EQ(took, c.took);
        EXPECT_EQ(harness.displays->creations, c.creations);
        EXPECT_TRUE(harness.displays->liveMonitors.empty());
        EXPECT_FALSE(model.streaming().virtualMonitorUnreachable()) << "the report goes with its monitor";
        EXPECT_EQ(model.streaming().activeDisplayID(), c.captured);
        EXPECT_EQ(model.streaming().sourceMode(), c.captured || c.creations == 0 ? SourceMode::mirror : SourceMode::virtualDisplay);
        EXPECT_EQ(model::errorText(model), c.error);
        EXPECT_EQ(harness.launchText(), c.launch);
        EXPECT_EQ(model.streaming().viewerDiscoveryRunning(), c.captured.has_value()) << "advertises while it streams to no one";
    }
}

// The advertisement is refreshed twenty times on its schedule unless a viewer comes or the
// stream stops first; shutdown leaves no monitor, capture or listener, even while retrying.
TEST(Streaming, DiscoveryScheduleAndShutdown)
{
    ModelHarness harness;
    auto& model = harness.create();
    harness.connectViewer();
    harness.disconnectViewer();
    ASSERT_TRUE(model.streaming().viewerDiscoveryRunning());
    harness.advance(400s);
    const auto& refreshes = harness.link->refreshes;
    std::vector<runtime::Duration> gaps, expected(6, 3500ms);
    for (std::size_t i = 1; i < refreshes.size(); ++i)
        gaps.push_back(refreshes[i] - refreshes[i - 1]);
    expected.insert(expected.end(), 6, 6s);
    expected.insert(expected.end(), 8, 10s);
    EXPECT_EQ(gaps, expected);
    EXPECT_FALSE(model.streaming().viewerDiscoveryRunning());

    for (const bool viewer : {true, false}) {
        SCOPED_TRACE(viewer);
        ModelHarness early;
        early.create();
        early.connectViewer();
        early.disconnectViewer();
        early.advance(8s);
        viewer ? early.connectViewer() : early.run(stopStreaming);
        early.advance(200s);
        EXPECT_EQ(early.link->refreshes.size(), 3u);
        early.model->shutdown();
        early.settle();
        EXPECT_EQ(early.captures.running(), 0);
        EXPECT_TRUE(early.displays->liveMonitors.empty());
    }
    harness.displays->monitorsAppear = false;
    harness.connectViewer();
    harness.advance(2s);
    ASSERT_EQ(harness.displays->liveMonitors.size(), 1u) << "a new monitor is being looked for";
    model.shutdown();
    harness.advance(60s);
    EXPECT_TRUE(harness.displays->liveMonitors.empty());
    EXPECT_EQ(harness.link->stops, 1);
}

}  // namespace
}  // namespace kestrio::test
