// Starting and stopping streams as viewers come and go, the virtual monitor with its fallback to
// mirroring, viewer requests and the re-advertising loop, all in virtual time.
#include "model/model_fakes_support.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using model::SourceMode;

auto startStreaming = [](model::HostModel& m) { return m.startStreaming(); };
auto stopStreaming = [](model::HostModel& m) { return m.stopStreaming(); };

TEST(Streaming, ViewersStartExtendedModeOnANewMonitorAndANewViewerRestartsIt)
{
    ModelHarness harness;
    auto& model = harness.create();
    harness.connectViewer();
    ASSERT_EQ(harness.captures.runs.size(), 1u);
    const auto monitor = harness.captures.runs[0].displayID;
    EXPECT_TRUE(harness.displays->liveMonitors.contains(monitor));
    EXPECT_EQ(model.activeDisplayID(), monitor);

    harness.disconnectViewer();
    EXPECT_TRUE(model.isStreaming()) << "the stream outlives the viewer";
    harness.connectViewer();
    ASSERT_EQ(harness.captures.runs.size(), 2u);
    EXPECT_EQ(harness.captures.running(), 1);
    EXPECT_FALSE(harness.displays->liveMonitors.contains(monitor));

    harness.run(stopStreaming);
    EXPECT_TRUE(harness.displays->liveMonitors.empty());
    harness.link->onStateChange();
    harness.settle();
    EXPECT_TRUE(model.isStreaming()) << "the connection's path changed: the viewer is served again";
    harness.run(stopStreaming);
    model.setAutoStartOnConnect(false);
    harness.connectViewer();
    EXPECT_FALSE(model.isStreaming());
}

TEST(Streaming, MirrorCapturesTheChosenDisplayWithTheOptionsOfItsStart)
{
    ModelHarness harness;
    auto& model = harness.create();
    model.setSourceMode(SourceMode::mirror);
    harness.run(startStreaming);
    EXPECT_EQ(harness.captures.runs.at(0).displayID, 1u) << "no selection: the first display";
    model.setQuality(model::StreamQuality::sharp);
    model.setFrameRate(model::StreamFrameRate::thirty);
    EXPECT_EQ(harness.captures.runs.size(), 1u) << "a running stream is not restarted";
    harness.run(stopStreaming);
    model.setSelectedDisplayID(2);
    harness.run(startStreaming);
    const auto& run = harness.captures.runs.back();
    EXPECT_EQ(run.displayID, 2u);
    EXPECT_EQ(run.quality, model::StreamQuality::sharp);
    EXPECT_EQ(run.frameRate, model::StreamFrameRate::thirty);
    EXPECT_EQ(harness.displays->creations, 0);
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
        {"monitor never listed", [](ModelHarness& h) { h.displays->monitorsAppear = false; }, 1u, {}, mirrorFallback, 3, 3 * 15s + 900ms},
        {"capture fails on the monitor", [](ModelHarness& h) { h.captures.failingDisplays = {100}; }, 1u, {}, mirrorFallback, 1, 0s},
        {"nothing to fall back to", [](ModelHarness& h) { h.displays->physical.clear(), h.displays->monitorsAppear = false; }, {},
         "가상 모니터가 macOS에 표시되지 않았습니다.", {}, 3, 3 * 15s + 900ms},
        {"mirror without displays", [](ModelHarness& h) { h.model->setSourceMode(SourceMode::mirror), h.displays->physical.clear(); }, {},
         "가상 모니터를 만들 수 없습니다.", {}, 0, 0s},
        {"mirror capture fails", [](ModelHarness& h) { h.model->setSourceMode(SourceMode::mirror), h.captures.failingDisplays = {1}; }, {},
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
        for (; model.isBusy() && took < 100s; took += 50ms)
            harness.advance(50ms);
        EXPECT_EQ(took, c.took);
        EXPECT_EQ(harness.displays->creations, c.creations);
        EXPECT_TRUE(harness.displays->liveMonitors.empty());
        EXPECT_EQ(model.activeDisplayID(), c.captured);
        EXPECT_EQ(model.sourceMode(), c.captured || c.creations == 0 ? SourceMode::mirror : SourceMode::virtualDisplay);
        EXPECT_EQ(model::errorText(model), c.error);
        EXPECT_EQ(launchText(model), c.launch);
        EXPECT_EQ(model.viewerDiscoveryRunning(), c.captured.has_value()) << "advertises while it streams to no one";
        if (c.creations == 3 * perAttempt) {
            const auto& times = harness.displays->creationTimes;
            EXPECT_EQ(times[perAttempt - 1], times[0]);
            EXPECT_EQ(times[perAttempt] - times[0], 450ms);
            EXPECT_EQ(times[2 * perAttempt] - times[0], 900ms);
        }
    }
}

TEST(Streaming, ViewerStopAndModeRequests)
{
    ModelHarness harness;
    auto& model = harness.create();
    harness.connectViewer();
    harness.send(link::control::SourceMode{SourceMode::virtualDisplay});
    EXPECT_EQ(harness.captures.runs.size(), 1u) << "the current mode: nothing happens";
    harness.send(link::control::SourceMode{SourceMode::mirror});
    ASSERT_EQ(harness.captures.runs.size(), 2u);
    EXPECT_EQ(harness.captures.runs[1].displayID, 1u);
    EXPECT_TRUE(harness.displays->liveMonitors.empty());
    harness.send(link::control::StopStreaming{});
    EXPECT_EQ(harness.captures.running(), 0);

    harness.displays->physical.push_back(physicalDisplay(3, 3200));
    harness.send(link::control::SourceMode{SourceMode::virtualDisplay});
    EXPECT_EQ(model.sourceMode(), SourceMode::virtualDisplay);
    EXPECT_EQ(model.displays().size(), 3u) << "the list is reloaded";
    EXPECT_EQ(harness.captures.runs.size(), 2u) << "and nothing starts";
}

TEST(Streaming, DiscoveryRefreshesTwentyTimesOnItsScheduleUntilAViewerOrTheEnd)
{
    ModelHarness harness;
    auto& model = harness.create();
    harness.connectViewer();
    harness.disconnectViewer();
    ASSERT_TRUE(model.viewerDiscoveryRunning());
    harness.advance(400s);
    std::vector<runtime::Duration> gaps;
    for (std::size_t i = 1; i < harness.link->refreshes.size(); ++i)
        gaps.push_back(harness.link->refreshes[i] - harness.link->refreshes[i - 1]);
    std::vector<runtime::Duration> expected(6, 3500ms);
    expected.insert(expected.end(), 6, 6s);
    expected.insert(expected.end(), 8, 10s);
    EXPECT_EQ(gaps, expected);
    EXPECT_FALSE(model.viewerDiscoveryRunning());

    for (const bool viewer : {true, false}) {
        ModelHarness early;
        early.create();
        early.connectViewer();
        early.disconnectViewer();
        early.advance(8s);
        viewer ? early.connectViewer() : early.run(stopStreaming);
        early.advance(200s);
        EXPECT_EQ(early.link->refreshes.size(), 3u) << viewer;
    }
}

TEST(Streaming, ShutdownLeavesNoMonitorCaptureOrListenerBehind)
{
    for (const bool retrying : {false, true}) {
        ModelHarness harness;
        auto& model = harness.create();
        harness.displays->monitorsAppear = !retrying;
        harness.connectViewer();
        harness.advance(2s);
        ASSERT_EQ(harness.displays->liveMonitors.size(), 1u) << retrying;
        model.shutdown();
        harness.advance(60s);
        EXPECT_TRUE(harness.displays->liveMonitors.empty()) << retrying;
        EXPECT_EQ(harness.captures.running(), 0) << retrying;
        EXPECT_EQ(harness.link->stops, 1) << retrying;
    }
}

}  // namespace
}  // namespace kestrio::test
