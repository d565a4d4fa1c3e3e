#include "display/virtual_display_error.h"
#include "platform/wlroots/screencopy_capture.h"
#include "platform/wlroots/wlroots_displays.h"
#include "platform/wlroots/wlroots_permissions.h"
#include "runtime/serial_queue.h"
#include "support/captured_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

// Runs beside the headless sway of headless_sway.sh: one output, HEADLESS-1, 1280×720.
namespace kestrio::platform::wlroots {
namespace {

using namespace std::chrono_literals;
using test::Frames;

class WlrootsCapture : public ::testing::Test {
protected:
    std::shared_ptr<WlrootsDisplayFacility> displays = std::make_shared<WlrootsDisplayFacility>(std::string{}, std::filesystem::path{});
    ScreencopyCaptureFactory captures{displays};
    std::shared_ptr<runtime::SerialQueue> queue = runtime::SerialQueue::create("capture");

    void TearDown() override { queue->shutdown(); }

    static capture::CaptureConfiguration configuration(int width, int height)
    {
        capture::CaptureConfiguration result;
        result.width = width;
        result.height = height;
        return result;
    }
    static capture::CaptureDisplay target(const display::DisplayInfo& info) { return {info.id, info.x, info.y, info.width, info.height}; }
};

TEST_F(WlrootsCapture, CopiesAnOutputAtTheChosenSizeAndRefreshesAStillOneOnceASecond)
{
    const auto output = displays->displays().at(0);
    Frames frames;
    auto stream = captures.start(target(output), configuration(640, 360), queue, frames.handler());
    ASSERT_TRUE(frames.waitFor(1));
    EXPECT_EQ(frames.frames[0].width, 640);
    EXPECT_EQ(frames.frames[0].height, 360);
    ASSERT_TRUE(frames.waitFor(2, 2500ms)) << "a still screen is still refreshed";
    EXPECT_THROW(captures.start({output.id + 1, 0, 0, 10, 10}, configuration(10, 10), queue, frames.handler()),
                 capture::CaptureError);
}

TEST_F(WlrootsCapture, CopiesAVirtualMonitor)
{
    auto monitor = displays->createVirtualMonitor(display::VirtualResolution::hdPlus, 1);
    // Sway 1.7 keeps the outputs of earlier tests: the monitor's is found by its identifier.
    const auto listed = displays->displays();
    const auto added = std::find_if(listed.begin(), listed.end(), [&](const auto& info) { return info.id == monitor->displayID(); });
    ASSERT_NE(added, listed.end());
    Frames frames;
    auto stream = captures.start(target(*added), configuration(1024, 576), queue, frames.handler());
    ASSERT_TRUE(frames.waitFor(1));
    stream->requestFrame();
    ASSERT_TRUE(frames.waitFor(2));
    EXPECT_EQ(frames.frames[1].width, 1024);
}

TEST(WlrootsDesktop, WithoutSwaysIpcOutputsComeFromTheCompositorAndNoMonitorIsMade)
{
    const std::string sway = std::getenv("SWAYSOCK");
    ::unsetenv("SWAYSOCK");
    WlrootsDisplayFacility displays({}, std::filesystem::path{});
    const auto listed = displays.displays();
    ASSERT_FALSE(listed.empty());
    EXPECT_EQ(listed[0].name, "HEADLESS-1");
    EXPECT_EQ(listed[0].width, 1280);
    EXPECT_THROW(displays.createVirtualMonitor(display::VirtualResolution::hd, 1), display::VirtualDisplayException);
    ::setenv("SWAYSOCK", sway.c_str(), 1);
}

TEST(WlrootsDesktop, AllowsWhatTheCompositorOffers)
{
    WlrootsPermissionFacility offered;
    EXPECT_TRUE(offered.captureAllowed());
    EXPECT_TRUE(offered.inputTrusted());
    WlrootsPermissionFacility nothing("/nonexistent/wayland-0");
    EXPECT_FALSE(nothing.captureAllowed());
    EXPECT_FALSE(nothing.inputTrusted());
}

}  // namespace
}  // namespace kestrio::platform::wlroots
