// Starting and stopping streams as viewers come and go, the virtual monitor with its fallback to
// mirroring, viewer requests and the re-advertising loop, all in virtual time.
#include "model/model_fakes_support.h"

#include "link/viewer_control_event.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using model::SourceMode;

class StreamingOrchestrationTest : public ::testing::Test {
protected:
    ModelHarness harness;
};

TEST_F(StreamingOrchestrationTest, ViewerConnectingStartsExtendedModeOnANewMonitor)
{
    auto& model = harness.create();
    harness.connectViewer();

    ASSERT_EQ(harness.captures.runs.size(), 1u);
    const auto monitor = harness.captures.runs[0].displayID;
    EXPECT_TRUE(harness.displays->liveMonitors.contains(monitor));
    EXPECT_TRUE(model.isStreaming());
    EXPECT_FALSE(model.isBusy());
    EXPECT_EQ(model.activeDisplayID(), monitor);
    EXPECT_EQ(model.selectedDisplayID(), monitor);
    EXPECT_TRUE(model.knownVirtualDisplayIDs().contains(monitor));
    EXPECT_EQ(model.sourceMode(), SourceMode::virtualDisplay);
    EXPECT_EQ(harness.captures.runs[0].quality, model::StreamQuality::balanced);
    EXPECT_EQ(harness.captures.runs[0].frameRate, model::StreamFrameRate::sixty);
    // The monitor never shows up among the displays a user can mirror.
    for (const auto& display : model.displays())
        EXPECT_NE(display.id, monitor);
}

TEST_F(StreamingOrchestrationTest, NewViewerWhileLiveRestartsTheStream)
{
    auto& model = harness.create();
    harness.connectViewer();
    const auto first = harness.captures.runs.at(0).displayID;

    harness.disconnectViewer();
    EXPECT_TRUE(model.isStreaming()) << "the stream outlives the viewer";
    harness.connectViewer();

    ASSERT_EQ(harness.captures.runs.size(), 2u);
    EXPECT_TRUE(harness.captures.runs[0].stopped);
    EXPECT_FALSE(harness.displays->liveMonitors.contains(first)) << "the old monitor is gone";
    EXPECT_EQ(harness.displays->liveMonitors.size(), 1u);
    EXPECT_EQ(harness.captures.running(), 1);
    EXPECT_TRUE(model.isStreaming());
}

TEST_F(StreamingOrchestrationTest, StateChangeOfAConnectedViewerStartsAfterStop)
{
    auto& model = harness.create();
    harness.connectViewer();
    harness.run([](model::HostModel& m) { return m.stopStreaming(); });
    EXPECT_FALSE(model.isStreaming());
    EXPECT_TRUE(harness.displays->liveMonitors.empty());

    // The connection's path changed: same viewer, a new state change.
    harness.link->fireStateChange();
    harness.settle();
    EXPECT_TRUE(model.isStreaming());
    EXPECT_EQ(harness.captures.runs.size(), 2u);
    EXPECT_TRUE(harness.captures.runs[0].stopped);
}

TEST_F(StreamingOrchestrationTest, AutomaticStartOffLeavesTheViewerWaiting)
{
    auto& model = harness.create();
    model.setAutoStartOnConnect(false);
    harness.connectViewer();
    EXPECT_FALSE(model.isStreaming());
    EXPECT_TRUE(harness.captures.runs.empty());
}

TEST_F(StreamingOrchestrationTest, DisconnectDuringADragReleasesTheButtonWherethePointerIs)
{
    auto& model = harness.create();
    harness.connectViewer();
    model.setMouseButtonIsDown(true);
    harness.input->pointer = model::ScreenPoint{640, 360};

    harness.disconnectViewer();
    ASSERT_EQ(harness.input->mouse.size(), 1u);
    EXPECT_EQ(harness.input->mouse[0].type, model::MouseEventType::leftUp);
    EXPECT_EQ(harness.input->mouse[0].at, (model::ScreenPoint{640, 360}));
    EXPECT_FALSE(model.mouseButtonIsDown());

    // Unreadable pointer: released at the origin; nothing when no button is held.
    harness.connectViewer();
    model.setMouseButtonIsDown(true);
    harness.input->pointer.reset();
    harness.disconnectViewer();
    ASSERT_EQ(harness.input->mouse.size(), 2u);
    EXPECT_EQ(harness.input->mouse[1].at, (model::ScreenPoint{0, 0}));
    harness.link->fireStateChange();
    harness.settle();
    EXPECT_EQ(harness.input->mouse.size(), 2u);
}

TEST_F(StreamingOrchestrationTest, MirrorWithNoSelectionCapturesTheFirstDisplay)
{
    auto& model = harness.create();
    model.setSourceMode(SourceMode::mirror);
    ASSERT_EQ(model.selectedDisplayID(), 0u);
    harness.run([](model::HostModel& m) { return m.startStreaming(); });

    ASSERT_EQ(harness.captures.runs.size(), 1u);
    EXPECT_EQ(harness.captures.runs[0].displayID, 1u);
    EXPECT_EQ(model.selectedDisplayID(), 1u);
    EXPECT_EQ(model.activeDisplayID(), 1u);
    EXPECT_EQ(harness.displays->creations, 0);

    // A chosen display is kept.
    harness.run([](model::HostModel& m) { return m.stopStreaming(); });
    model.setSelectedDisplayID(2);
    harness.run([](model::HostModel& m) { return m.startStreaming(); });
    EXPECT_EQ(harness.captures.runs.back().displayID, 2u);
}

TEST_F(StreamingOrchestrationTest, FailingMonitorFallsBackToMirroringWithItsMessage)
{
    auto& model = harness.create();
    harness.displays->monitorsFail = true;
    harness.run([](model::HostModel& m) { return m.startStreaming(); });
    EXPECT_TRUE(model.isBusy()) << "waiting between attempts";

    harness.advance(450ms);
    harness.advance(450ms);
    ASSERT_EQ(harness.captures.runs.size(), 1u);
    EXPECT_EQ(harness.captures.runs[0].displayID, 1u);
    EXPECT_EQ(model.sourceMode(), SourceMode::mirror);
    EXPECT_EQ(launchText(model), std::string(model::mirrorFallbackText));
    EXPECT_EQ(model::errorText(model), std::nullopt) << "the monitor's error is not shown";
    EXPECT_TRUE(model.isStreaming());
    EXPECT_FALSE(model.isBusy());

    // Three attempts 0.45 s apart, each trying the platform as often as the monitor allows.
    const int perAttempt = display::VirtualDisplayManager::maximumAttempts;
    ASSERT_EQ(harness.displays->creations, 3 * perAttempt);
    EXPECT_EQ(harness.displays->creationTimes[0], harness.displays->creationTimes[perAttempt - 1]);
    EXPECT_EQ(harness.displays->creationTimes[perAttempt] - harness.displays->creationTimes[0], 450ms);
    EXPECT_EQ(harness.displays->creationTimes[2 * perAttempt] - harness.displays->creationTimes[0], 900ms);
}

TEST_F(StreamingOrchestrationTest, MonitorThatNeverAppearsIsRemovedAndFallsBack)
{
    auto& model = harness.create();
    harness.displays->monitorsAppear = false;
    harness.run([](model::HostModel& m) { return m.startStreaming(); });
    for (int step = 0; step < 2000 && model.isBusy(); ++step)
        harness.advance(50ms);

    EXPECT_EQ(harness.displays->creations, 3);
    EXPECT_TRUE(harness.displays->liveMonitors.empty());
    EXPECT_EQ(model.sourceMode(), SourceMode::mirror);
    EXPECT_EQ(harness.captures.runs.at(0).displayID, 1u);
    // Each attempt waits 60 × 0.25 s; two 0.45 s pauses between them.
    EXPECT_EQ(harness.elapsed(), 3 * 15s + 900ms);
}

TEST_F(StreamingOrchestrationTest, CaptureFailingOnTheMonitorFallsBack)
{
    auto& model = harness.create();
    harness.captures.failingDisplays = {100};
    harness.run([](model::HostModel& m) { return m.startStreaming(); });
    EXPECT_EQ(model.sourceMode(), SourceMode::mirror);
    EXPECT_EQ(harness.captures.runs.at(0).displayID, 1u);
    EXPECT_TRUE(harness.displays->liveMonitors.empty());
}

TEST_F(StreamingOrchestrationTest, FallbackWithoutDisplaysShowsTheMonitorError)
{
    auto& model = harness.create();
    harness.displays->physical.clear();
    harness.displays->monitorsAppear = false;
    harness.run([](model::HostModel& m) { return m.startStreaming(); });
    for (int step = 0; step < 200 && model.isBusy(); ++step)
        harness.advance(250ms);

    EXPECT_EQ(model::errorText(model), std::string("가상 모니터가 macOS에 표시되지 않았습니다."));
    EXPECT_FALSE(model.isStreaming());
    EXPECT_FALSE(model.isBusy());
    EXPECT_FALSE(model.viewerDiscoveryRunning());
    EXPECT_EQ(model::statusTitle(model).korean, "가상 모니터가 macOS에 표시되지 않았습니다.");
}

TEST_F(StreamingOrchestrationTest, MirrorFailuresBecomeTheErrorText)
{
    auto& model = harness.create();
    model.setSourceMode(SourceMode::mirror);
    harness.displays->physical.clear();
    harness.run([](model::HostModel& m) { return m.startStreaming(); });
    EXPECT_EQ(model::errorText(model), std::string("가상 모니터를 만들 수 없습니다."));
    EXPECT_FALSE(model.isBusy());

    harness.displays->physical = {physicalDisplay(7, 0)};
    harness.captures.failingDisplays = {7};
    harness.run([](model::HostModel& m) { return m.startStreaming(); });
    EXPECT_EQ(model::errorText(model), std::string("화면을 캡처할 수 없음"));
    EXPECT_FALSE(model.isStreaming());
    EXPECT_EQ(model.activeDisplayID(), std::nullopt);
}

TEST_F(StreamingOrchestrationTest, StartWhileBusyIsIgnored)
{
    auto& model = harness.create();
    harness.displays->monitorsFail = true;
    harness.run([](model::HostModel& m) { return m.startStreaming(); });
    ASSERT_TRUE(model.isBusy());
    harness.run([](model::HostModel& m) { return m.startStreaming(); });
    harness.run([](model::HostModel& m) { return m.stopStreaming(); });
    harness.advance(1s);
    EXPECT_EQ(harness.displays->creations, 3 * display::VirtualDisplayManager::maximumAttempts);
    EXPECT_TRUE(model.isStreaming());
}

TEST_F(StreamingOrchestrationTest, ViewerStopAndModeRequests)
{
    auto& model = harness.create();
    harness.connectViewer();
    ASSERT_TRUE(model.isStreaming());

    // The current mode: nothing happens.
    harness.link->onControlEvent(link::control::SourceMode{SourceMode::virtualDisplay});
    harness.settle();
    EXPECT_EQ(harness.captures.runs.size(), 1u);

    // Another mode while streaming: stop, then start mirroring.
    harness.link->onControlEvent(link::control::SourceMode{SourceMode::mirror});
    harness.settle();
    ASSERT_EQ(harness.captures.runs.size(), 2u);
    EXPECT_EQ(harness.captures.runs[1].displayID, 1u);
    EXPECT_TRUE(harness.displays->liveMonitors.empty());
    EXPECT_EQ(model.sourceMode(), SourceMode::mirror);

    harness.link->onControlEvent(link::control::StopStreaming{});
    harness.settle();
    EXPECT_FALSE(model.isStreaming());
    EXPECT_EQ(harness.captures.running(), 0);

    // While stopped: the mode changes and the list is reloaded, and nothing starts.
    harness.displays->physical.push_back(physicalDisplay(3, 3200));
    harness.link->onControlEvent(link::control::SourceMode{SourceMode::virtualDisplay});
    harness.settle();
    EXPECT_EQ(model.sourceMode(), SourceMode::virtualDisplay);
    EXPECT_EQ(model.displays().size(), 3u);
    EXPECT_FALSE(model.isStreaming());
    EXPECT_EQ(harness.captures.runs.size(), 2u);
}

TEST_F(StreamingOrchestrationTest, StreamSettingsApplyAtTheNextStart)
{
    auto& model = harness.create();
    harness.connectViewer();
    model.setQuality(model::StreamQuality::sharp);
    model.setFrameRate(model::StreamFrameRate::thirty);
    harness.settle();
    EXPECT_EQ(harness.captures.runs.size(), 1u) << "a running stream is not restarted";
    harness.run([](model::HostModel& m) { return m.stopStreaming(); });
    harness.run([](model::HostModel& m) { return m.startStreaming(); });
    EXPECT_EQ(harness.captures.runs.back().quality, model::StreamQuality::sharp);
    EXPECT_EQ(harness.captures.runs.back().frameRate, model::StreamFrameRate::thirty);
}

// Re-advertising while the stream waits for its viewer --------------------------------------

TEST_F(StreamingOrchestrationTest, DiscoverySubmitsTwentyRefreshesOnItsSchedule)
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

    ASSERT_EQ(harness.link->submittedRefreshes.size(), 20u);
    std::vector<runtime::Duration> gaps;
    auto previous = began;
    for (const auto at : harness.link->submittedRefreshes) {
        gaps.push_back(at - previous);
        previous = at;
    }
    const std::vector<runtime::Duration> expected{3500ms, 3500ms, 3500ms, 3500ms, 3500ms, 3500ms, 6s, 6s, 6s, 6s, 6s, 6s,
                                                  10s,    10s,    10s,    10s,    10s,    10s,    10s, 10s};
    EXPECT_EQ(gaps, expected);
    EXPECT_FALSE(model.viewerDiscoveryRunning());
}

TEST_F(StreamingOrchestrationTest, DiscoveryEndsWhenAViewerConnects)
{
    auto& model = harness.create();
    harness.connectViewer();
    harness.disconnectViewer();
    harness.advance(8s);
    const auto submitted = harness.link->submittedRefreshes.size();
    EXPECT_EQ(submitted, 2u);

    harness.connectViewer();
    EXPECT_FALSE(model.viewerDiscoveryRunning());
    harness.advance(200s);
    EXPECT_EQ(harness.link->submittedRefreshes.size(), submitted);
}

TEST_F(StreamingOrchestrationTest, DiscoveryEndsWithTheStream)
{
    auto& model = harness.create();
    harness.connectViewer();
    harness.disconnectViewer();
    harness.run([](model::HostModel& m) { return m.stopStreaming(); });
    EXPECT_FALSE(model.viewerDiscoveryRunning());
    harness.advance(60s);
    EXPECT_TRUE(harness.link->submittedRefreshes.empty());
}

TEST_F(StreamingOrchestrationTest, ShutdownRemovesTheMonitorAndClosesTheLink)
{
    auto& model = harness.create();
    harness.connectViewer();
    ASSERT_EQ(harness.displays->liveMonitors.size(), 1u);
    model.shutdown();
    harness.settle();
    EXPECT_TRUE(harness.displays->liveMonitors.empty());
    EXPECT_EQ(harness.captures.running(), 0);
    EXPECT_EQ(harness.link->stops, 1);
}

TEST_F(StreamingOrchestrationTest, ShutdownDuringTheMonitorRetriesLeavesNothingBehind)
{
    auto& model = harness.create();
    harness.displays->monitorsAppear = false;
    harness.run([](model::HostModel& m) { return m.startStreaming(); });
    harness.advance(2s);
    ASSERT_EQ(harness.displays->liveMonitors.size(), 1u);
    model.shutdown();
    harness.advance(60s);
    EXPECT_TRUE(harness.displays->liveMonitors.empty());
    EXPECT_TRUE(harness.captures.runs.empty());
}

}  // namespace
}  // namespace kestrio::test
