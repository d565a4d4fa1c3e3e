#include "display/display_list.h"
#include "display/virtual_display_error.h"
#include "display/virtual_display_manager.h"
#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kestrio::display {
namespace {

// Each monitor attempt takes the next outcome: an ID (0 included), -1 nothing, -2 a foreign
// exception, -3 settingsRejected. `live` counts the monitors that exist.
struct ScriptedFacility final : DisplayFacility {
    struct Monitor final : VirtualMonitor {
        int& live;
        std::uint32_t id;
        Monitor(int& live, std::uint32_t id) : live(++live), id(id) {}
        ~Monitor() override { --live; }
        std::uint32_t displayID() const override { return id; }
    };
    std::vector<DisplayInfo> displays() override { return failure ? throw std::runtime_error(*failure) : list; }
    std::unique_ptr<VirtualMonitor> createVirtualMonitor(VirtualResolution resolution, int attempt) override
    {
        EXPECT_EQ(std::make_pair(resolution, attempt), std::make_pair(VirtualResolution::hdPlus, ++attempts));
        const long outcome = monitors.at(static_cast<std::size_t>(attempt - 1));
        if (outcome == -2)
            throw std::runtime_error("lost");
        if (outcome == -3)
            throw VirtualDisplayException(VirtualDisplayError::settingsRejected);
        return outcome == -1 ? nullptr : std::make_unique<Monitor>(live, static_cast<std::uint32_t>(outcome));
    }
    std::vector<DisplayInfo> list;
    std::optional<std::string> failure;
    std::vector<long> monitors;
    int attempts = 0, live = 0;
};

TEST(DisplayListTest, HidesOwnMonitorsKeepsTheSelectionValidAndSaysWhyAQueryFailed)
{
    auto facility = std::make_shared<ScriptedFacility>();
    bool captureAllowed = true;
    DisplayList list{facility, std::make_shared<runtime::VirtualClock>(), [&] { return captureAllowed; }};
    list.rememberVirtualDisplay(30);
    for (std::uint32_t id : {10, 30, 20, 40})
        facility->list.push_back({id, 0, 0, 1920, 1080, "screen", id == 40});
    list.refreshDisplays();
    ASSERT_EQ(list.displays().size(), 2u);
    EXPECT_EQ(std::make_pair(list.displays()[1].id, list.selectedDisplayID()), std::make_pair(20u, 10u));
    list.select(30);
    list.refreshDisplays();
    EXPECT_EQ(list.selectedDisplayID(), 10u);
    facility->failure = "connection refused";
    list.select(20);
    list.refreshDisplays();
    EXPECT_EQ(std::make_pair(list.displays().size(), list.selectedDisplayID()), std::make_pair(std::size_t{2}, 20u));
    EXPECT_EQ(list.errorMessage(), "화면 목록을 읽을 수 없음 \u00B7 connection refused");
    captureAllowed = false;
    list.refreshDisplays();
    EXPECT_TRUE(list.screenPermissionNeeded());
    EXPECT_EQ(list.errorMessage(), "화면 기록 권한이 필요함");
}

TEST(VirtualDisplayTest, RetriesUntilAMonitorWithAnIDAndResolutionsReadBack)
{
    const std::pair<std::vector<long>, std::optional<VirtualDisplayError>> cases[] = {
        {{-3, 0, -1, 42}, std::nullopt},
        {{-1, 0, -2, -3}, VirtualDisplayError::settingsRejected},
        {{-3, -3, -3, 0}, VirtualDisplayError::creationFailed},
        {{-3, -3, -3, -2}, VirtualDisplayError::creationFailed},
    };
    for (const auto& [script, expected] : cases) {
        ScriptedFacility facility;
        facility.monitors = script;
        try {
            VirtualDisplayManager manager(facility, VirtualResolution::hdPlus);
            EXPECT_TRUE(!expected && manager.displayID() == 42u && facility.live == 1);
            manager.release();
            EXPECT_EQ(manager.displayID(), 42u);
        } catch (const VirtualDisplayException& exception) {
            EXPECT_EQ(exception.error(), expected);
        }
        EXPECT_EQ(std::make_pair(facility.attempts, facility.live), std::make_pair(4, 0));
    }
    for (auto resolution : allVirtualResolutions)
        EXPECT_EQ(virtualResolutionFromRawValue(rawValue(resolution)), resolution) << rawValue(resolution);
    for (const char* unknown : {"", "FullHD", "fullhd", "4k", "hd "})
        EXPECT_FALSE(virtualResolutionFromRawValue(unknown)) << unknown;
}

}  // namespace
}  // namespace kestrio::display
