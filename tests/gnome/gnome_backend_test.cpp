#include "display/virtual_display_error.h"
#include "platform/gnome/gnome_display_capture.h"
#include "platform/gnome/gnome_displays.h"
#include "runtime/serial_queue.h"
#include "support/captured_frames.h"

#include <gtest/gtest.h>

// Runs inside the headless GNOME session of headless_gnome.sh: Mutter with one 1280×720
// virtual monitor ("Meta-0").
namespace kestrio::platform::gnome {
namespace {

using namespace std::chrono_literals;
using test::Frames;

class GnomeBackend : public ::testing::Test {
protected:
    std::shared_ptr<GnomeDesktop> desktop = GnomeDesktop::connect();
    GnomeDisplayFacility displays{desktop};
    GnomeDisplayCaptureFactory captures{desktop};
    std::shared_ptr<runtime::SerialQueue> queue = runtime::SerialQueue::create("capture");

    void TearDown() override { queue->shutdown(); }

    capture::CaptureConfiguration configuration(int width, int height)
    {
        capture::CaptureConfiguration result;
        result.width = width;
        result.height = height;
        result.minimumFrameInterval = std::chrono::duration_cast<runtime::Duration>(1s) / 60;
        return result;
    }
};

TEST_F(GnomeBackend, ListsTheCompositorsMonitorsWithStableIdentifiers)
{
    EXPECT_TRUE(desktop->bus().missingServices().empty());
    const auto listed = displays.displays();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].width, 1280);
    EXPECT_EQ(listed[0].height, 720);
    EXPECT_EQ(listed[0].x, 0);
    EXPECT_FALSE(listed[0].ownVirtualMonitor);
    EXPECT_NE(listed[0].id, 0u);
    EXPECT_EQ(GnomeDisplayFacility(GnomeDesktop::connect()).displays().at(0).id, listed[0].id);
}

TEST_F(GnomeBackend, VirtualMonitorExistsWhileHeldAndIsCapturedAtTheChosenSize)
{
    auto monitor = displays.createVirtualMonitor(display::VirtualResolution::hdPlus, 1);
    auto listed = displays.displays();
    ASSERT_EQ(listed.size(), 2u);
    const auto& added = listed[1];
    EXPECT_EQ(added.id, monitor->displayID());
    EXPECT_TRUE(added.ownVirtualMonitor);
    EXPECT_EQ(added.width, 1600);
    EXPECT_EQ(added.height, 900);
    EXPECT_EQ(added.x, 1280) << "placed right of the compositor's monitor";

    Frames frames;
    auto stream = captures.start({added.id, added.x, added.y, added.width, added.height}, configuration(1024, 576), queue,
                                 frames.handler());
    ASSERT_TRUE(frames.waitFor(1));
    stream->requestFrame();
    ASSERT_TRUE(frames.waitFor(2));
    EXPECT_EQ(frames.frames[0].width, 1024);
    EXPECT_EQ(frames.frames[0].height, 576);

    stream.reset();
    monitor.reset();
    listed = displays.displays();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_FALSE(listed[0].ownVirtualMonitor);
}

TEST_F(GnomeBackend, MirrorsAPhysicalMonitor)
{
    const auto listed = displays.displays().at(0);
    Frames frames;
    auto stream = captures.start({listed.id, listed.x, listed.y, listed.width, listed.height}, configuration(1280, 720),
                                 queue, frames.handler());
    ASSERT_TRUE(frames.waitFor(1));
    EXPECT_EQ(frames.frames[0].width, 1280);
    // A still screen is still refreshed once a second.
    ASSERT_TRUE(frames.waitFor(2, 2500ms));
    EXPECT_THROW(captures.start({listed.id + 1, 0, 0, 10, 10}, configuration(10, 10), queue, frames.handler()),
                 capture::CaptureError);
}

}  // namespace
}  // namespace kestrio::platform::gnome
