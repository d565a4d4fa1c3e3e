#include "display/virtual_display_error.h"
#include "platform/wlroots/screencopy_capture.h"
#include "platform/wlroots/sway_ipc.h"
#include "platform/wlroots/wlroots_displays.h"
#include "platform/wlroots/wlroots_permissions.h"
#include "support/captured_frames.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

// Runs beside the headless sway of headless_sway.sh: one output, HEADLESS-1, 1280×720.
namespace kestrio::platform::wlroots {
namespace {

using namespace std::chrono_literals;
using display::VirtualResolution;

TEST(SwayIpc, ListsOutputsRunsCommandsAndSaysWhatFailed)
{
    SwayIpc ipc;
    EXPECT_GE(ipc.version().first, 1);
    const auto outputs = ipc.outputs();
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(std::make_tuple(outputs[0].name, outputs[0].active, outputs[0].width, outputs[0].height), std::make_tuple("HEADLESS-1", true, 1280, 720));
    EXPECT_EQ(ipc.command("output HEADLESS-1 position 0 0"), "");
    EXPECT_NE(ipc.command("no-such-command"), "");
    EXPECT_THROW(SwayIpc("/nonexistent/sway-ipc.sock"), SwayIpcError);
}

// A virtual monitor is a headless output right of the others, copied at the chosen size. Where
// sway cannot unplug it, it is kept and taken again by the next monitor, also by the host's next
// run (the same compositor).
TEST(WlrootsBackend, AVirtualMonitorIsAHeadlessOutputRightOfTheOthersCopiedAtItsSizeAndReusedWhereSwayKeepsIt)
{
    const auto record = std::filesystem::path(::testing::TempDir()) / "kestrio-sway-record" / "outputs.json";
    std::filesystem::remove_all(record.parent_path());
    const auto displays = std::make_shared<WlrootsDisplayFacility>(std::string{}, record);
    const auto before = displays->displays();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_FALSE(before[0].ownVirtualMonitor);
    EXPECT_EQ(WlrootsDisplayFacility({}, std::filesystem::path{}).displays().at(0).id, before[0].id) << "identifiers are stable";

    auto monitor = displays->createVirtualMonitor(VirtualResolution::hdPlus, 1);
    auto listed = displays->displays();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(std::make_tuple(listed[1].id, listed[1].ownVirtualMonitor, listed[1].x, listed[1].width, listed[1].height), std::make_tuple(monitor->displayID(), true, 1280, 1600, 900));
    {
        test::Frames frames;
        ScreencopyCaptureFactory captures{displays};
        auto stream = frames.start(captures, listed[1], 1024, 576);
        ASSERT_TRUE(frames.waitFor(1));
        stream->requestFrame();
        ASSERT_TRUE(frames.waitFor(2));
        EXPECT_EQ(frames.frames[1].width, 1024);
    }
    const std::string output = listed[1].name;
    monitor.reset();

    const auto [major, minor] = SwayIpc().version();
    const bool unplugs = major > 1 || minor >= 8;
    monitor = displays->createVirtualMonitor(VirtualResolution::hd, 1);
    listed = displays->displays();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_TRUE(unplugs || listed[1].name == output);
    EXPECT_EQ(listed[1].width, 1280);
    monitor.reset();

    WlrootsDisplayFacility nextRun({}, record);
    if (!unplugs) {
        EXPECT_TRUE(nextRun.displays().at(1).ownVirtualMonitor);
        monitor = nextRun.createVirtualMonitor(VirtualResolution::hd, 1);
        EXPECT_EQ(nextRun.displays().size(), 2u);
    }
    std::filesystem::remove_all(record.parent_path());
}

TEST(WlrootsBackend, CopiesAnOutputAtTheChosenSizeAndRefreshesAStillOneOnceASecond)
{
    const auto displays = std::make_shared<WlrootsDisplayFacility>(std::string{}, std::filesystem::path{});
    ScreencopyCaptureFactory captures{displays};
    test::Frames frames;
    const auto output = displays->displays().at(0);
    auto stream = frames.start(captures, output, 640, 360);
    ASSERT_TRUE(frames.waitFor(1));
    EXPECT_EQ(std::make_pair(frames.frames[0].width, frames.frames[0].height), std::make_pair(640, 360));
    ASSERT_TRUE(frames.waitFor(2, 2500ms)) << "a still screen is still refreshed";
    EXPECT_THROW(frames.start(captures, {output.id + 1, 0, 0, 10, 10, {}, false}, 10, 10), capture::CaptureError);
}

TEST(WlrootsBackend, WithoutSwaysIpcOutputsComeFromTheCompositorAndNoMonitorIsMadeAndPermissionsAreWhatItOffers)
{
    EXPECT_TRUE(WlrootsPermissionFacility().captureAllowed() && WlrootsPermissionFacility().inputTrusted());
    WlrootsPermissionFacility nothing("/nonexistent/wayland-0");
    EXPECT_FALSE(nothing.captureAllowed() || nothing.inputTrusted());

    test::ScopedEnvironment noSway("SWAYSOCK", nullptr);
    WlrootsDisplayFacility displays({}, std::filesystem::path{});
    const auto listed = displays.displays();
    ASSERT_FALSE(listed.empty());
    EXPECT_EQ(std::make_pair(listed[0].name, listed[0].width), std::make_pair(std::string("HEADLESS-1"), 1280));
    EXPECT_THROW(displays.createVirtualMonitor(VirtualResolution::hd, 1), display::VirtualDisplayException);
}

}  // namespace
}  // namespace kestrio::platform::wlroots
