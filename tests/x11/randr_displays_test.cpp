#include "display/virtual_display_error.h"
#include "display/virtual_display_manager.h"
#include "platform/x11/randr_displays.h"
#include "platform/x11/x11_virtual_display.h"
#include "x11/x11_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace kestrio::platform {
namespace {

using display::DisplayInfo;
using display::VirtualResolution;
using testing::Point;

// What shows the screen's state from outside: the facility's list, xrandr's and the root's size.
struct ScreenState {
    std::vector<std::tuple<std::uint32_t, int, int, int, int, std::string, bool>> displays;
    std::optional<std::string> monitors;
    std::vector<std::string> modes;
    Point root;
    bool operator==(const ScreenState&) const = default;
};

class RandrDisplayFacilityTest : public ::testing::Test {
protected:
    void start(std::optional<ScreenSize> maximumSize)
    {
        ASSERT_TRUE(server_ = testing::startServer({1920, 1080}, maximumSize));
        facility_ = std::make_unique<RandrDisplayFacility>(name());
        client_ = std::make_unique<testing::TestDisplay>(name());
        ASSERT_TRUE(client_->connected());
    }

    const std::string& name() const { return server_->displayName(); }

    ScreenState state()
    {
        ScreenState state{{}, testing::xrandr(name(), {"--listmonitors"}), client_->modeNames(), client_->rootSize()};
        for (const auto& d : facility_->displays())
            state.displays.emplace_back(d.id, d.x, d.y, d.width, d.height, d.name, d.ownVirtualMonitor);
        return state;
    }

    std::unique_ptr<XvfbServer> server_;
    std::unique_ptr<RandrDisplayFacility> facility_;
    std::unique_ptr<testing::TestDisplay> client_;
};

using Place = std::tuple<int, int, int, int, bool>;  // x, y, width, height, a monitor of ours

std::vector<Place> places(RandrDisplayFacility& facility)
{
    std::vector<Place> found;
    for (const auto& d : facility.displays())
        found.emplace_back(d.x, d.y, d.width, d.height, d.ownVirtualMonitor);
    std::sort(found.begin(), found.end());
    return found;
}

TEST_F(RandrDisplayFacilityTest, EachResolutionIsAMonitorRightOfThePhysicalOneThatThePointerEntersAndReleasingRestores)
{
    start(ScreenSize{3840, 2160});
    const auto before = state();
    ASSERT_EQ(before.displays.size(), 1u);
    EXPECT_NE(std::get<0>(before.displays[0]), 0u);
    EXPECT_EQ(before.displays[0], std::make_tuple(std::get<0>(before.displays[0]), 0, 0, 1920, 1080, std::string("screen"), false));

    for (VirtualResolution resolution : display::allVirtualResolutions) {
        const int width = display::width(resolution), height = display::height(resolution);
        SCOPED_TRACE(display::pickerLabel(resolution));
        auto monitor = facility_->createVirtualMonitor(resolution, 1);
        ASSERT_TRUE(monitor);
        EXPECT_TRUE(dynamic_cast<X11VirtualMonitor&>(*monitor).pointerCanEnter());

        // The physical display keeps its place; the monitor is right of it.
        EXPECT_EQ(places(*facility_), (std::vector<Place>{{0, 0, 1920, 1080, false}, {1920, 0, width, height, true}}));
        const auto displays = facility_->displays();
        EXPECT_EQ(std::count_if(displays.begin(), displays.end(),
                                [&](const DisplayInfo& d) { return d.id == monitor->displayID() && d.name == "Kestrio iPhone"; }),
                  1);
        const auto now = state();
        ASSERT_TRUE(now.monitors);
        EXPECT_NE(now.monitors->find("Kestrio iPhone " + std::to_string(width) + "/"), std::string::npos) << *now.monitors;
        // The resolution's own 60 Hz mode exists while the monitor does.
        EXPECT_NE(std::find(now.modes.begin(), now.modes.end(), std::to_string(width) + "x" + std::to_string(height) + "_60"),
                  now.modes.end());
        EXPECT_EQ(now.root, (Point{1920 + width, 1080}));
        client_->warpPointer(1920 + width - 10, height - 10);
        EXPECT_EQ(client_->pointer(), (Point{1920 + width - 10, height - 10}));

        monitor.reset();
        EXPECT_EQ(state(), before);
    }
}

TEST_F(RandrDisplayFacilityTest, ALeftoverMonitorIsFlaggedAndReplacedByANewOne)
{
    start(ScreenSize{3840, 2160});
    // Another client (an earlier run) left a monitor of our name on a grown screen.
    ASSERT_TRUE(testing::xrandr(name(), {"--fb", "3200x1080"}));
    ASSERT_TRUE(testing::xrandr(name(), {"--setmonitor", "Kestrio iPhone", "1280/339x720/190+1920+0", "none"}));
    EXPECT_EQ(places(*facility_), (std::vector<Place>{{0, 0, 1920, 1080, false}, {1920, 0, 1280, 720, true}}));
    // A new attempt takes its place instead of failing on the name.
    auto monitor = facility_->createVirtualMonitor(VirtualResolution::fullHD, 1);
    EXPECT_EQ(places(*facility_), (std::vector<Place>{{0, 0, 1920, 1080, false}, {1920, 0, 1920, 1080, true}}));
}

TEST_F(RandrDisplayFacilityTest, AScreenThatCannotGrowGetsNoMonitorAndNoServerGivesAReason)
{
    start(std::nullopt);
    const auto before = state();
    try {
        display::VirtualDisplayManager manager(*facility_, VirtualResolution::hd);
        ADD_FAILURE() << "a monitor was made";
    } catch (const display::VirtualDisplayException& failure) {
        EXPECT_EQ(failure.error(), display::VirtualDisplayError::creationFailed);
    }
    EXPECT_EQ(state(), before);

    RandrDisplayFacility nowhere(":65000");
    try {
        nowhere.displays();
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& failure) {
        EXPECT_NE(std::string(failure.what()).find(":65000"), std::string::npos) << failure.what();
    }
    EXPECT_THROW(nowhere.createVirtualMonitor(VirtualResolution::hd, 1), display::VirtualDisplayException);
}

}  // namespace
}  // namespace kestrio::platform
