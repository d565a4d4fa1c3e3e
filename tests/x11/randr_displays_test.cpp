#include "display/virtual_display_error.h"
#include "display/virtual_display_manager.h"
#include "platform/x11/randr_displays.h"
#include "platform/x11/x11_virtual_display.h"
#include "platform/x11/xtest_input_poster.h"
#include "x11/x11_test_support.h"

#include <algorithm>
#include <stdexcept>

namespace kestrio::platform {
namespace {

using display::VirtualResolution;
using namespace ::testing;
using Place = std::tuple<int, int, int, int, bool>;  // x, y, width, height, a monitor of ours

class RandrDisplayFacilityTest : public ::testing::Test {
protected:
    void start(std::optional<ScreenSize> maximumSize)
    {
        ASSERT_TRUE(server_ = testing::startServer({1920, 1080}, maximumSize));
        facility_ = std::make_unique<RandrDisplayFacility>(server_->displayName());
    }
    std::vector<Place> places()
    {
        std::vector<Place> found;
        for (const auto& d : facility_->displays()) {
            found.emplace_back(d.x, d.y, d.width, d.height, d.ownVirtualMonitor);
            EXPECT_NE(d.id, 0u);
        }
        std::sort(found.begin(), found.end());
        return found;
    }
    // The screen as xrandr shows it (its size, outputs and modes), its monitors and the facility's list.
    std::tuple<std::optional<std::string>, std::optional<std::string>, std::vector<Place>> state()
    {
        return {testing::xrandr(server_->displayName(), {}), testing::xrandr(server_->displayName(), {"--listmonitors"}), places()};
    }

    std::unique_ptr<XvfbServer> server_;
    std::unique_ptr<RandrDisplayFacility> facility_;
};

// A monitor of our name that another client (an earlier run) left is flagged and replaced.
TEST_F(RandrDisplayFacilityTest, EachResolutionIsAMonitorRightOfThePhysicalOneThatThePointerEntersReleasingRestoresAndALeftoverIsReplaced)
{
    start(ScreenSize{3840, 2160});
    XTestInputPoster pointer(server_->displayName());
    const auto before = state();
    ASSERT_EQ(std::get<2>(before), (std::vector<Place>{{0, 0, 1920, 1080, false}}));
    EXPECT_EQ(facility_->displays().at(0).name, "screen");
    for (VirtualResolution resolution : display::allVirtualResolutions) {
        const int width = display::width(resolution), height = display::height(resolution);
        SCOPED_TRACE(display::pickerLabel(resolution));
        auto monitor = facility_->createVirtualMonitor(resolution, 1);
        ASSERT_TRUE(monitor);
        EXPECT_TRUE(dynamic_cast<X11VirtualMonitor&>(*monitor).pointerCanEnter());
        EXPECT_EQ(places(), (std::vector<Place>{{0, 0, 1920, 1080, false}, {1920, 0, width, height, true}}));
        const auto displays = facility_->displays();
        EXPECT_EQ(std::count_if(displays.begin(), displays.end(), [&](const auto& d) { return d.id == monitor->displayID() && d.name == "Kestrio iPhone"; }), 1);
        // The monitor, the screen grown to hold it, and its resolution's own 60 Hz mode.
        const auto [screen, monitors, list] = state();
        EXPECT_THAT(monitors.value_or("") + screen.value_or(""), AllOf(HasSubstr("Kestrio iPhone " + std::to_string(width) + "/"), HasSubstr("current " + std::to_string(1920 + width) + " x 1080,"),
                                                                       HasSubstr(std::to_string(width) + "x" + std::to_string(height) + "_60")));
        pointer.warpPointer({1920.0 + width - 10, height - 10.0});
        EXPECT_EQ(pointer.pointerLocation(), (model::ScreenPoint{1920.0 + width - 10, height - 10.0}));
        monitor.reset();
        EXPECT_EQ(state(), before);
    }
    ASSERT_TRUE(testing::xrandr(server_->displayName(), {"--fb", "3200x1080"}));
    ASSERT_TRUE(testing::xrandr(server_->displayName(), {"--setmonitor", "Kestrio iPhone", "1280/339x720/190+1920+0", "none"}));
    EXPECT_EQ(places(), (std::vector<Place>{{0, 0, 1920, 1080, false}, {1920, 0, 1280, 720, true}}));
    auto monitor = facility_->createVirtualMonitor(VirtualResolution::fullHD, 1);
    EXPECT_EQ(places(), (std::vector<Place>{{0, 0, 1920, 1080, false}, {1920, 0, 1920, 1080, true}}));
}

TEST_F(RandrDisplayFacilityTest, AScreenThatCannotGrowGetsNoMonitorAndNoServerGivesAReason)
{
    start(std::nullopt);
    const auto before = state();
    EXPECT_THAT([&] { display::VirtualDisplayManager manager(*facility_, VirtualResolution::hd); },
                Throws<display::VirtualDisplayException>(Property(&display::VirtualDisplayException::error, display::VirtualDisplayError::creationFailed)));
    EXPECT_EQ(state(), before);
    RandrDisplayFacility nowhere(":65000");
    EXPECT_THAT([&] { nowhere.displays(); }, ThrowsMessage<std::runtime_error>(HasSubstr(":65000")));
    EXPECT_THROW(nowhere.createVirtualMonitor(VirtualResolution::hd, 1), display::VirtualDisplayException);
}

}  // namespace
}  // namespace kestrio::platform
