#include "display/virtual_display_manager.h"
#include "platform/x11/randr_displays.h"
#include "platform/x11/x11_display_capture.h"
#include "platform/x11/x11_virtual_display.h"
#include "platform/x11/xvfb_server.h"
#include "runtime/serial_queue.h"
#include "runtime/virtual_clock.h"
#include "x11/virtual_display_test_support.h"
#include "x11/x11_test_display_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestrio::platform {
namespace {

using display::DisplayInfo;
using display::VirtualDisplayError;
using display::VirtualDisplayException;
using display::VirtualDisplayManager;
using display::VirtualResolution;

bool sameDisplays(const std::vector<DisplayInfo>& a, const std::vector<DisplayInfo>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const DisplayInfo& x, const DisplayInfo& y) {
        return x.id == y.id && x.x == y.x && x.y == y.y && x.width == y.width && x.height == y.height && x.name == y.name &&
               x.ownVirtualMonitor == y.ownVirtualMonitor;
    });
}

class VirtualDisplayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        XvfbServer::Options options;
        options.initialSize = {1920, 1080};
        options.maximumSize = ScreenSize{3840, 2160};
        server_ = XvfbServer::start(options, error);
        ASSERT_TRUE(server_) << error;
        server_->authorizeThisProcess();
        facility_ = std::make_unique<RandrDisplayFacility>(server_->displayName());
    }

    const std::string& name() const { return server_->displayName(); }

    std::unique_ptr<XvfbServer> server_;
    std::unique_ptr<RandrDisplayFacility> facility_;
};

TEST_F(VirtualDisplayTest, EachResolutionIsAMonitorRightOfThePhysicalOneThatThePointerEntersAndReleasingRestores)
{
    const auto before = facility_->displays();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0].width, 1920);
    const std::string monitorsBefore = testing::xrandr(name(), "--listmonitors").output;
    const auto modesBefore = testing::modeNames(name());

    for (VirtualResolution resolution : display::allVirtualResolutions) {
        const int width = display::width(resolution);
        const int height = display::height(resolution);
        SCOPED_TRACE(display::pickerLabel(resolution));
        auto created = facility_->createVirtualMonitor(resolution, 1);
        ASSERT_TRUE(created);
        auto* monitor = dynamic_cast<X11VirtualMonitor*>(created.get());
        ASSERT_TRUE(monitor);
        EXPECT_NE(monitor->displayID(), 0u);
        EXPECT_TRUE(monitor->pointerCanEnter());

        const auto displays = facility_->displays();
        ASSERT_EQ(displays.size(), 2u);
        auto virtualPart = std::find_if(displays.begin(), displays.end(), [](const DisplayInfo& d) { return d.ownVirtualMonitor; });
        auto physicalPart = std::find_if(displays.begin(), displays.end(), [](const DisplayInfo& d) { return !d.ownVirtualMonitor; });
        ASSERT_NE(virtualPart, displays.end());
        ASSERT_NE(physicalPart, displays.end());
        EXPECT_EQ(virtualPart->id, monitor->displayID());
        EXPECT_EQ(virtualPart->name, "Kestrio iPhone");
        EXPECT_EQ(virtualPart->x, 1920);
        EXPECT_EQ(virtualPart->y, 0);
        EXPECT_EQ(virtualPart->width, width);
        EXPECT_EQ(virtualPart->height, height);
        EXPECT_EQ(physicalPart->x, 0);
        EXPECT_EQ(physicalPart->y, 0);
        EXPECT_EQ(physicalPart->width, 1920);
        EXPECT_EQ(physicalPart->height, 1080);

        const auto listed = testing::xrandr(name(), "--listmonitors");
        ASSERT_TRUE(listed.ok) << listed.output;
        EXPECT_NE(listed.output.find("Monitors: 2"), std::string::npos) << listed.output;
        EXPECT_NE(listed.output.find("Kestrio iPhone " + std::to_string(width) + "/"), std::string::npos) << listed.output;
        EXPECT_NE(listed.output.find("x" + std::to_string(height) + "/"), std::string::npos) << listed.output;
        EXPECT_NE(listed.output.find("+1920+0"), std::string::npos) << listed.output;
        // The resolution's own 60 Hz mode exists while the monitor does.
        const auto modes = testing::modeNames(name());
        EXPECT_NE(std::find(modes.begin(), modes.end(), std::to_string(width) + "x" + std::to_string(height) + "_60"), modes.end());

        auto root = testing::rootSize(name());
        EXPECT_EQ(root.width, 1920 + width);
        EXPECT_EQ(root.height, 1080);

        testing::TestDisplay client(name());
        ASSERT_TRUE(client.connected());
        client.warpPointer(1920 + width - 10, height - 10);
        auto pointer = testing::pointerPosition(name());
        EXPECT_EQ(pointer.x, 1920 + width - 10);
        EXPECT_EQ(pointer.y, height - 10);
        client.warpPointer(100, 100);

        created.reset();
        EXPECT_TRUE(sameDisplays(facility_->displays(), before));
        EXPECT_EQ(testing::xrandr(name(), "--listmonitors").output, monitorsBefore);
        EXPECT_EQ(testing::modeNames(name()), modesBefore);
        root = testing::rootSize(name());
        EXPECT_EQ(root.width, 1920);
        EXPECT_EQ(root.height, 1080);
    }
}

TEST_F(VirtualDisplayTest, CaptureOfTheMonitorsRectangleIsWhatWasDrawnThere)
{
    auto monitor = facility_->createVirtualMonitor(VirtualResolution::hd, 1);
    DisplayInfo info;
    for (const auto& d : facility_->displays())
        if (d.id == monitor->displayID())
            info = d;
    ASSERT_EQ(info.width, 1280);

    testing::TestDisplay client(name());
    ASSERT_TRUE(client.connected());
    const auto physicalPicture = testing::solidPicture(1920, 1080, 0x123456);
    const auto picture = testing::blockPattern(info.width, info.height, 40, 7);
    client.draw(physicalPicture, 0, 0);
    client.draw(picture, info.x, info.y);

    auto clock = std::make_shared<runtime::VirtualClock>();
    auto queue = runtime::SerialQueue::create("virtual-display-test");
    X11DisplayCaptureFactory factory(name(), clock);
    capture::CaptureConfiguration configuration;
    configuration.pixelFormat = capture::PixelFormat::bgra;
    configuration.showsCursor = false;
    configuration.minimumFrameInterval = std::chrono::milliseconds(33);
    testing::FrameLog log;
    auto stream = factory.start(capture::CaptureDisplay{info.id, info.x, info.y, info.width, info.height}, configuration, queue,
                                [&log](const capture::VideoFrame& frame) { log.add(frame); });
    clock->advance(runtime::Duration::zero());
    stream->stop();
    queue->shutdown();
    ASSERT_EQ(log.count(), 1u);
    auto frame = log.last();
    ASSERT_EQ(frame.width, info.width);
    ASSERT_EQ(frame.height, info.height);
    int mismatches = 0;
    for (int y = 0; y < frame.height; ++y)
        for (int x = 0; x < frame.width; ++x)
            mismatches += frame.bgraAt(x, y) != (0xff000000u | picture.at(x, y));
    EXPECT_EQ(mismatches, 0);
}

TEST_F(VirtualDisplayTest, ManagerKeepsOneMonitorAndRemovesItWhenDestroyed)
{
    const auto before = facility_->displays();
    {
        VirtualDisplayManager manager(*facility_, VirtualResolution::hdPlus);
        auto displays = facility_->displays();
        ASSERT_EQ(displays.size(), 2u);
        EXPECT_EQ(std::count_if(displays.begin(), displays.end(),
                                [&](const DisplayInfo& d) { return d.id == manager.displayID() && d.ownVirtualMonitor; }),
                  1);
    }
    EXPECT_TRUE(sameDisplays(facility_->displays(), before));
    EXPECT_EQ(testing::rootSize(name()).width, 1920);
}

TEST_F(VirtualDisplayTest, ALeftoverMonitorIsFlaggedAndReplacedByANewOne)
{
    // Another client (an earlier run) left a monitor of our name on a grown screen.
    ASSERT_TRUE(testing::xrandr(name(), "--fb 3200x1080").ok);
    auto made = testing::xrandr(name(), "--setmonitor 'Kestrio iPhone' 1280/339x720/190+1920+0 none");
    ASSERT_TRUE(made.ok) << made.output;
    auto displays = facility_->displays();
    ASSERT_EQ(displays.size(), 2u);
    auto leftover = std::find_if(displays.begin(), displays.end(), [](const DisplayInfo& d) { return d.ownVirtualMonitor; });
    ASSERT_NE(leftover, displays.end());
    EXPECT_EQ(leftover->name, "Kestrio iPhone");
    EXPECT_EQ(leftover->x, 1920);
    EXPECT_EQ(leftover->width, 1280);

    // A new attempt takes its place instead of failing on the name.
    auto monitor = facility_->createVirtualMonitor(VirtualResolution::fullHD, 1);
    displays = facility_->displays();
    EXPECT_EQ(std::count_if(displays.begin(), displays.end(), [](const DisplayInfo& d) { return d.ownVirtualMonitor; }), 1);
    for (const auto& d : displays) {
        if (d.ownVirtualMonitor) {
            EXPECT_EQ(d.x, 1920);
            EXPECT_EQ(d.width, 1920);
            EXPECT_EQ(d.height, 1080);
        }
    }
}

TEST(VirtualDisplayOnAFixedScreenTest, FourAttemptsThatCannotGrowTheScreenLeaveNothingBehind)
{
    // Started without room to grow: the screen's largest size is its current one.
    std::string error;
    auto server = XvfbServer::start(XvfbServer::Options{}, error);
    ASSERT_TRUE(server) << error;
    server->authorizeThisProcess();
    const std::string& name = server->displayName();
    RandrDisplayFacility facility(name);
    const auto before = facility.displays();
    const auto monitorsBefore = testing::xrandr(name, "--listmonitors").output;
    const auto modesBefore = testing::modeNames(name);

    try {
        VirtualDisplayManager manager(facility, VirtualResolution::hd);
        ADD_FAILURE() << "a monitor was made";
    } catch (const VirtualDisplayException& failure) {
        EXPECT_EQ(failure.error(), VirtualDisplayError::creationFailed);
    }
    EXPECT_TRUE(sameDisplays(facility.displays(), before));
    EXPECT_EQ(testing::xrandr(name, "--listmonitors").output, monitorsBefore);
    EXPECT_EQ(testing::modeNames(name), modesBefore);
    EXPECT_EQ(testing::rootSize(name).width, 1920);
}

}  // namespace
}  // namespace kestrio::platform
