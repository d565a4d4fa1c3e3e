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

// A stream whose picture the desktop takes away: the same display is captured again (retried once
// a second while it cannot be), a mirror moves to the display now selected, a removed virtual
// monitor is made again once and then given up for mirroring, and what cannot come back ends the
// stream with the reason.
TEST(Streaming, RecoversWhenTheDesktopTakesThePictureAway)
{
    using Cause = capture::CaptureEnd::Cause;
    const auto lost = [](Cause cause) {
        return [cause](ModelHarness& h) { h.captures.runs.back().ended({cause, "the PipeWire stream ended"}), h.settle(); };
    };
    const auto changed = [](const std::string& name) {
        return std::optional<std::string>(model::text(model::HostError{model::HostError::Kind::displayChanged, name}, {}));
    };
    struct Case {
        const char* name;
        SourceMode mode;
        std::function<void(ModelHarness&)> fault;
        std::vector<std::uint32_t> captured;  // every run, in order
        std::optional<std::string> error;
        runtime::Duration took;  // until the last run started or the stream ended
        bool streaming = true;
    };
    const Case cases[] = {
        {"source lost, display there", SourceMode::mirror, lost(Cause::sourceLost), {1, 1}, {}, 0s},
        {"source back after 3 s", SourceMode::mirror,
         [&](ModelHarness& h) {
             h.captures.failingDisplays = {1};
             lost(Cause::sourceLost)(h);
             h.advance(2500ms);
             h.captures.failingDisplays.clear();
         },
         {1, 1}, {}, 3s},
        {"source never back", SourceMode::mirror,
         [&](ModelHarness& h) { h.captures.failingDisplays = {1}, lost(Cause::sourceLost)(h); }, {1},
         "화면 캡처가 끝남 · Screen capture ended: 화면을 캡처할 수 없음", 20s, false},
        {"mirrored display gone", SourceMode::mirror, [](ModelHarness& h) { h.displays->physical.erase(h.displays->physical.begin()); },
         {1, 2}, changed("DP-2"), 1s},
        {"mirrored display moved", SourceMode::mirror, [](ModelHarness& h) { h.displays->physical[0].x = 1280; }, {1, 1}, {}, 1s},
        {"monitor removed", SourceMode::virtualDisplay, [](ModelHarness& h) { h.displays->liveMonitors.clear(); }, {100, 101}, {}, 1s},
        {"monitor gone with its source, back after 2.5 s", SourceMode::virtualDisplay,
         [&](ModelHarness& h) {
             h.displays->liveMonitors.clear(), h.displays->monitorsFail = true;
             lost(Cause::sourceLost)(h);
             h.advance(2500ms);
             h.displays->monitorsFail = false;
         },
         {100, 121}, {}, 3s},
        {"monitor removed twice", SourceMode::virtualDisplay,
         [](ModelHarness& h) {
             h.displays->liveMonitors.clear();
             h.advance(1s);
             h.displays->liveMonitors.clear();
         },
         {100, 101, 1}, changed("DP-1"), 2s},
        {"desktop gone", SourceMode::mirror, lost(Cause::desktopGone), {1},
         "데스크톱 세션이 끝남 · The desktop session ended: the PipeWire stream ended", 0s, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelHarness harness;
        auto& model = harness.create();
        model.streaming().setSourceMode(c.mode);
        harness.connectViewer();
        const auto began = harness.clock->now();
        const auto stamp = [&] { return harness.clock->now() - began; };
        c.fault(harness);
        runtime::Duration took = stamp();
        for (auto runs = harness.captures.runs.size(), streaming = std::size_t(model.streaming().isStreaming()); stamp() < 60s;) {
            harness.advance(250ms);
            if (harness.captures.runs.size() != runs || std::size_t(model.streaming().isStreaming()) != streaming)
                took = stamp(), runs = harness.captures.runs.size(), streaming = model.streaming().isStreaming();
        }
        std::vector<std::uint32_t> captured;
        for (const auto& run : harness.captures.runs)
            captured.push_back(run.displayID);
        EXPECT_EQ(captured, c.captured);
        EXPECT_EQ(took, c.took);
        EXPECT_EQ(harness.captures.running(), c.streaming ? 1 : 0);
        EXPECT_EQ(model.streaming().isStreaming(), c.streaming);
        EXPECT_EQ(model::errorText(model), c.error);
        EXPECT_EQ(model.desktopGone().has_value(), c.name == std::string("desktop gone"));
        EXPECT_TRUE(harness.link->isViewerConnected()) << "the viewer stays on its connection";
        EXPECT_LE(harness.displays->liveMonitors.size(), 1u);
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
