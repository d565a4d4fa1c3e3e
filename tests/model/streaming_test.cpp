// Starting and stopping streams as viewers come and go, the virtual monitor with its fallback to
// mirroring, viewer requests and the re-advertising loop, all in virtual time.
#include "model/model_fakes_support.h"

#include "link/viewer_control_event.h"

#include <gtest/gtest.h>

#include <functional>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using model::SourceMode;

class StreamingTest : public ::testing::Test {
protected:
    void start() { harness.run([](model::HostModel& m) { return m.startStreaming(); }); }
    void stop() { harness.run([](model::HostModel& m) { return m.stopStreaming(); }); }
    void request(const link::ViewerControlEvent& event)
    {
        harness.link->onControlEvent(event);
        harness.settle();
    }

    ModelHarness harness;
};

TEST_F(StreamingTest, ViewersStartExtendedModeOnANewMonitorAndANewViewerRestartsIt)
{
    auto& model = harness.create();
    harness.connectViewer();
    ASSERT_EQ(harness.captures.runs.size(), 1u);
    const auto monitor = harness.captures.runs[0].displayID;
    EXPECT_TRUE(harness.displays->liveMonitors.contains(monitor));
    EXPECT_TRUE(model.isStreaming());
    EXPECT_FALSE(model.isBusy());
    EXPECT_EQ(model.activeDisplayID(), monitor);
    // The monitor never shows up among the displays a user can mirror.
    for (const auto& display : model.displays())
        EXPECT_NE(display.id, monitor);

    harness.disconnectViewer();
    EXPECT_TRUE(model.isStreaming()) << "the stream outlives the viewer";
    harness.connectViewer();
    ASSERT_EQ(harness.captures.runs.size(), 2u);
    EXPECT_TRUE(harness.captures.runs[0].stopped);
    EXPECT_FALSE(harness.displays->liveMonitors.contains(monitor)) << "the old monitor is gone";
    EXPECT_EQ(harness.captures.running(), 1);

    // The connection's path changed after a stop: same viewer, a new state change starts it.
    stop();
    EXPECT_TRUE(harness.displays->liveMonitors.empty());
    harness.link->fireStateChange();
    harness.settle();
    EXPECT_TRUE(model.isStreaming());

    // Automatic start off: the next viewer waits.
    stop();
    model.setAutoStartOnConnect(false);
    harness.connectViewer();
    EXPECT_FALSE(model.isStreaming());
}

TEST_F(StreamingTest, MirrorCapturesTheChosenDisplayWithTheSettingsOfItsStart)
{
    auto& model = harness.create();
    model.setSourceMode(SourceMode::mirror);
    start();
    ASSERT_EQ(harness.captures.runs.size(), 1u);
    EXPECT_EQ(harness.captures.runs[0].displayID, 1u) << "no selection: the first display";
    EXPECT_EQ(model.selectedDisplayID(), 1u);
    EXPECT_EQ(harness.displays->creations, 0);

    model.setQuality(model::StreamQuality::sharp);
    model.setFrameRate(model::StreamFrameRate::thirty);
    EXPECT_EQ(harness.captures.runs.size(), 1u) << "a running stream is not restarted";
    stop();
    model.setSelectedDisplayID(2);
    start();
    EXPECT_EQ(harness.captures.runs.back().displayID, 2u);
    EXPECT_EQ(harness.captures.runs.back().quality, model::StreamQuality::sharp);
    EXPECT_EQ(harness.captures.runs.back().frameRate, model::StreamFrameRate::thirty);
}

// Each way a start can fail: what is captured in the end, what is shown, and how long it took.
TEST_F(StreamingTest, FailedStartsFallBackToMirroringOrShowTheirError)
{
    const int perAttempt = display::VirtualDisplayManager::maximumAttempts;
    struct Case {
        const char* name;
        std::function<void(ModelHarness&)> arrange;
        std::optional<std::uint32_t> captured;  // none: nothing streams
        std::optional<std::string> error;
        std::optional<std::string> launch;
        int creations;
        runtime::Duration took;
    };
    const std::vector<Case> cases{
        {"monitor fails", [](ModelHarness& h) { h.displays->monitorsFail = true; }, 1u, std::nullopt,
         std::string(model::mirrorFallbackText), 3 * perAttempt, 900ms},
        // Each attempt waits 60 × 0.25 s; two 0.45 s pauses between them.
        {"monitor never listed", [](ModelHarness& h) { h.displays->monitorsAppear = false; }, 1u, std::nullopt,
         std::string(model::mirrorFallbackText), 3, 3 * 15s + 900ms},
        {"capture fails on the monitor", [](ModelHarness& h) { h.captures.failingDisplays = {100}; }, 1u, std::nullopt,
         std::string(model::mirrorFallbackText), 1, 0s},
        {"nothing to fall back to",
         [](ModelHarness& h) {
             h.displays->physical.clear();
             h.displays->monitorsAppear = false;
         },
         std::nullopt, std::string("가상 모니터가 macOS에 표시되지 않았습니다."), std::nullopt, 3, 3 * 15s + 900ms},
        {"mirror without displays",
         [](ModelHarness& h) {
             h.model->setSourceMode(SourceMode::mirror);
             h.displays->physical.clear();
         },
         std::nullopt, std::string("가상 모니터를 만들 수 없습니다."), std::nullopt, 0, 0s},
        {"mirror capture fails",
         [](ModelHarness& h) {
             h.model->setSourceMode(SourceMode::mirror);
             h.captures.failingDisplays = {1};
         },
         std::nullopt, std::string("화면을 캡처할 수 없음"), std::nullopt, 0, 0s},
    };
    for (const auto& c : cases) {
        ModelHarness fresh;
        auto& model = fresh.create();
        c.arrange(fresh);
        const auto began = fresh.elapsed();
        fresh.run([](model::HostModel& m) { return m.startStreaming(); });
        for (int step = 0; step < 2000 && model.isBusy(); ++step)
            fresh.advance(50ms);
        EXPECT_FALSE(model.isBusy()) << c.name;
        EXPECT_EQ(fresh.displays->creations, c.creations) << c.name;
        EXPECT_EQ(fresh.elapsed() - began, c.took) << c.name;
        EXPECT_TRUE(fresh.displays->liveMonitors.empty()) << c.name;
        EXPECT_EQ(model.isStreaming(), c.captured.has_value()) << c.name;
        EXPECT_EQ(model.activeDisplayID(), c.captured) << c.name;
        if (c.captured) {
            EXPECT_EQ(model.sourceMode(), SourceMode::mirror) << c.name;
        }
        EXPECT_EQ(model::errorText(model), c.error) << c.name;
        EXPECT_EQ(model::statusTitle(model).korean, c.error.value_or("iPhone을 기다리는 중")) << c.name;
        EXPECT_EQ(launchText(model), c.launch) << c.name;
        EXPECT_EQ(model.viewerDiscoveryRunning(), c.captured.has_value()) << c.name << ": advertises while it streams to no one";
    }
    // The attempts at the monitor: each tries the platform as often as the monitor allows, 0.45 s apart.
    ModelHarness timed;
    timed.create();
    timed.displays->monitorsFail = true;
    timed.run([](model::HostModel& m) { return m.startStreaming(); });
    timed.run([](model::HostModel& m) { return m.startStreaming(); });  // while busy: ignored
    timed.run([](model::HostModel& m) { return m.stopStreaming(); });
    timed.advance(1s);
    const auto& times = timed.displays->creationTimes;
    ASSERT_EQ(times.size(), 3u * perAttempt);
    EXPECT_EQ(times[perAttempt - 1], times[0]);
    EXPECT_EQ(times[perAttempt] - times[0], 450ms);
    EXPECT_EQ(times[2 * perAttempt] - times[0], 900ms);
    EXPECT_TRUE(timed.model->isStreaming());
}

TEST_F(StreamingTest, ViewerStopAndModeRequests)
{
    auto& model = harness.create();
    harness.connectViewer();
    ASSERT_TRUE(model.isStreaming());

    request(link::control::SourceMode{SourceMode::virtualDisplay});
    EXPECT_EQ(harness.captures.runs.size(), 1u) << "the current mode: nothing happens";

    // Another mode while streaming: stop, then start mirroring.
    request(link::control::SourceMode{SourceMode::mirror});
    ASSERT_EQ(harness.captures.runs.size(), 2u);
    EXPECT_EQ(harness.captures.runs[1].displayID, 1u);
    EXPECT_TRUE(harness.displays->liveMonitors.empty());

    request(link::control::StopStreaming{});
    EXPECT_FALSE(model.isStreaming());
    EXPECT_EQ(harness.captures.running(), 0);

    // While stopped: the mode changes and the list is reloaded, and nothing starts.
    harness.displays->physical.push_back(physicalDisplay(3, 3200));
    request(link::control::SourceMode{SourceMode::virtualDisplay});
    EXPECT_EQ(model.sourceMode(), SourceMode::virtualDisplay);
    EXPECT_EQ(model.displays().size(), 3u);
    EXPECT_EQ(harness.captures.runs.size(), 2u);
}

// Re-advertising while the stream waits for its viewer --------------------------------------

TEST_F(StreamingTest, DiscoverySubmitsTwentyRefreshesOnItsScheduleUntilAViewerOrTheEnd)
{
    auto& model = harness.create();
    harness.connectViewer();
    harness.disconnectViewer();
    ASSERT_TRUE(model.viewerDiscoveryRunning());
    const auto began = harness.elapsed();
    EXPECT_GE(harness.link->retries, 1);
    EXPECT_GE(harness.link->refreshes, 1);
    for (int step = 0; step < 400; ++step)
        harness.advance(500ms);
    std::vector<runtime::Duration> gaps;
    auto previous = began;
    for (const auto at : harness.link->submittedRefreshes)
        gaps.push_back(at - std::exchange(previous, at));
    // One at once as discovery begins, then twenty on the schedule.
    const std::vector<runtime::Duration> expected{0ms, 3500ms, 3500ms, 3500ms, 3500ms, 3500ms, 3500ms, 6s, 6s, 6s, 6s, 6s, 6s,
                                                  10s,    10s,    10s,    10s,    10s,    10s,    10s, 10s};
    EXPECT_EQ(gaps, expected);
    EXPECT_FALSE(model.viewerDiscoveryRunning());

    // A viewer, or the stream's end, ends it early.
    for (const bool viewer : {true, false}) {
        ModelHarness fresh;
        auto& early = fresh.create();
        fresh.connectViewer();
        fresh.disconnectViewer();
        fresh.advance(8s);
        EXPECT_EQ(fresh.link->submittedRefreshes.size(), 3u);
        if (viewer)
            fresh.connectViewer();
        else
            fresh.run([](model::HostModel& m) { return m.stopStreaming(); });
        EXPECT_FALSE(early.viewerDiscoveryRunning()) << viewer;
        fresh.advance(200s);
        EXPECT_EQ(fresh.link->submittedRefreshes.size(), 3u) << viewer;
    }
}

TEST_F(StreamingTest, ShutdownLeavesNoMonitorCaptureOrListenerBehind)
{
    for (const bool retrying : {false, true}) {
        ModelHarness fresh;
        auto& model = fresh.create();
        if (retrying) {
            fresh.displays->monitorsAppear = false;
            fresh.run([](model::HostModel& m) { return m.startStreaming(); });
            fresh.advance(2s);
        } else {
            fresh.connectViewer();
        }
        ASSERT_EQ(fresh.displays->liveMonitors.size(), 1u) << retrying;
        model.shutdown();
        fresh.advance(60s);
        EXPECT_TRUE(fresh.displays->liveMonitors.empty()) << retrying;
        EXPECT_EQ(fresh.captures.running(), 0) << retrying;
        EXPECT_EQ(fresh.captures.runs.size(), retrying ? 0u : 1u) << retrying;
        EXPECT_EQ(fresh.link->stops, 1) << retrying;
    }
}

}  // namespace
}  // namespace kestrio::test
