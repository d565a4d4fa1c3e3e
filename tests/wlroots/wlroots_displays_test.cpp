#include "display/virtual_display_error.h"
#include "platform/wlroots/wlroots_displays.h"

#include <gtest/gtest.h>

// Runs beside the headless sway of headless_sway.sh: one output, HEADLESS-1, 1280×720.
namespace kestrio::platform::wlroots {
namespace {

TEST(WlrootsDisplays, AVirtualMonitorIsAHeadlessOutputRightOfTheOthersReusedWhereSwayKeepsIt)
{
    const auto record = std::filesystem::path(::testing::TempDir()) / "kestrio-sway-record" / "outputs.json";
    std::filesystem::remove_all(record.parent_path());
    WlrootsDisplayFacility displays({}, record);
    const auto before = displays.displays();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_FALSE(before[0].ownVirtualMonitor);
    EXPECT_EQ(WlrootsDisplayFacility({}, std::filesystem::path{}).displays().at(0).id, before[0].id) << "identifiers are stable";

    auto monitor = displays.createVirtualMonitor(display::VirtualResolution::hdPlus, 1);
    auto listed = displays.displays();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1].id, monitor->displayID());
    EXPECT_TRUE(listed[1].ownVirtualMonitor);
    EXPECT_EQ(listed[1].x, 1280);
    EXPECT_EQ(listed[1].width, 1600);
    EXPECT_EQ(listed[1].height, 900);
    const std::string output = listed[1].name;
    monitor.reset();

    // Gone where sway can unplug it; otherwise kept and taken again by the next monitor.
    const auto major = SwayIpc().version();
    const bool unplugs = major.first > 1 || major.second >= 8;
    monitor = displays.createVirtualMonitor(display::VirtualResolution::hd, 1);
    listed = displays.displays();
    ASSERT_EQ(listed.size(), 2u);
    if (!unplugs) {
        EXPECT_EQ(listed[1].name, output);
    }
    EXPECT_EQ(listed[1].width, 1280);
    monitor.reset();

    // The host's next run (the same compositor) knows the output as its own, and takes it again.
    WlrootsDisplayFacility nextRun({}, record);
    if (!unplugs) {
        EXPECT_TRUE(nextRun.displays().at(1).ownVirtualMonitor);
        monitor = nextRun.createVirtualMonitor(display::VirtualResolution::hd, 1);
        EXPECT_EQ(nextRun.displays().size(), 2u);
    }
    std::filesystem::remove_all(record.parent_path());
}

}  // namespace
}  // namespace kestrio::platform::wlroots
