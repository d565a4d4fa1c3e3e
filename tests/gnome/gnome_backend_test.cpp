#include "platform/gnome/gnome_display_capture.h"
#include "platform/gnome/gnome_displays.h"
#include "support/captured_frames.h"

#include <gtest/gtest.h>

// Runs inside the headless GNOME session of headless_gnome.sh: Mutter with one 1280×720
// virtual monitor ("Meta-0").
namespace kestrio::platform::gnome {
namespace {

using namespace std::chrono_literals;

class GnomeBackend : public ::testing::Test {
protected:
    std::shared_ptr<GnomeDesktop> desktop = GnomeDesktop::connect();
    GnomeDisplayFacility displays{desktop};
    GnomeDisplayCaptureFactory captures{desktop};
    test::Frames frames;
};

// The compositor's monitor, under an identifier another connection sees too, copied at the
// chosen size and, while still, once a second; a monitor that is not there is refused.
TEST_F(GnomeBackend, MirrorsTheCompositorsMonitorUnderAStableIdentifier)
{
    EXPECT_TRUE(desktop->bus().missingServices().empty());
    const auto listed = displays.displays();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(std::make_tuple(listed[0].id != 0, listed[0].x, listed[0].width, listed[0].height, listed[0].ownVirtualMonitor), std::make_tuple(true, 0, 1280, 720, false));
    EXPECT_EQ(GnomeDisplayFacility(GnomeDesktop::connect()).displays().at(0).id, listed[0].id);
    auto stream = frames.start(captures, listed[0], 1280, 720);
    ASSERT_TRUE(frames.waitFor(1));
    EXPECT_EQ(frames.frames[0].width, 1280);
    ASSERT_TRUE(frames.waitFor(2, 2500ms));
    EXPECT_THROW(frames.start(captures, {listed[0].id + 1, 0, 0, 10, 10, {}, false}, 10, 10), capture::CaptureError);
}

TEST_F(GnomeBackend, AVirtualMonitorRightOfTheCompositorsExistsWhileHeldAndIsCopiedAtTheChosenSize)
{
    auto monitor = displays.createVirtualMonitor(display::VirtualResolution::hdPlus, 1);
    auto listed = displays.displays();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(std::make_tuple(listed[1].id, listed[1].ownVirtualMonitor, listed[1].x, listed[1].width, listed[1].height), std::make_tuple(monitor->displayID(), true, 1280, 1600, 900));
    auto stream = frames.start(captures, listed[1], 1024, 576);
    ASSERT_TRUE(frames.waitFor(1));
    stream->requestFrame();
    ASSERT_TRUE(frames.waitFor(2));
    EXPECT_EQ(std::make_pair(frames.frames[0].width, frames.frames[0].height), std::make_pair(1024, 576));
    stream.reset();
    monitor.reset();
    listed = displays.displays();
    EXPECT_TRUE(listed.size() == 1 && !listed[0].ownVirtualMonitor);
}

}  // namespace
}  // namespace kestrio::platform::gnome
