#include "display/display_list.h"
#include "display/virtual_display_error.h"
#include "display/virtual_display_manager.h"
#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kestrio::display {
namespace {

DisplayInfo display(std::uint32_t id, bool own = false)
{
    return DisplayInfo{id, 0, 0, 1920, 1080, own ? std::string(virtualMonitorName) : "screen", own};
}

// Answers display queries with its list or a failure, and each monitor attempt with the next
// outcome: an ID (0 included), -1 for nothing, -2 for a foreign exception, -3 for settingsRejected.
// Counts the monitors that exist. (How the list waits for a new monitor is the model's
// orchestration tests' to show, on its clock.)
struct ScriptedFacility final : DisplayFacility {
    struct Monitor final : VirtualMonitor {
        Monitor(int& count, std::uint32_t monitorID) : live(++count), id(monitorID) {}
        ~Monitor() override { --live; }
        std::uint32_t displayID() const override { return id; }
        int& live;
        std::uint32_t id;
    };

    std::vector<DisplayInfo> displays() override
    {
        return failure ? throw std::runtime_error(*failure) : list;
    }

    std::unique_ptr<VirtualMonitor> createVirtualMonitor(VirtualResolution resolution, int attempt) override
    {
        EXPECT_EQ(resolution, VirtualResolution::hdPlus);
        EXPECT_EQ(attempt, ++attempts);
        const long outcome = monitors.at(static_cast<std::size_t>(attempt - 1));
        if (outcome == -2 || outcome == -3)
            outcome == -2 ? throw std::runtime_error("lost") : throw VirtualDisplayException(VirtualDisplayError::settingsRejected);
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
    // Two physical displays, this run's monitor, and one left over by an earlier run.
    facility->list = {display(10), display(30), display(20), display(40, true)};
    list.refreshDisplays();
    ASSERT_EQ(list.displays().size(), 2u);
    EXPECT_EQ(list.displays()[1].id, 20u);
    EXPECT_EQ(list.selectedDisplayID(), 10u);  // 0 becomes the first
    list.select(30);
    list.refreshDisplays();
    EXPECT_EQ(list.selectedDisplayID(), 10u);
    facility->failure = "connection refused";
    list.select(20);
    list.refreshDisplays();
    EXPECT_EQ(list.displays().size(), 2u);
    EXPECT_EQ(list.selectedDisplayID(), 20u);
    EXPECT_EQ(list.errorMessage(), "화면 목록을 읽을 수 없음 \u00B7 connection refused");
    captureAllowed = false;
    list.refreshDisplays();
    EXPECT_TRUE(list.screenPermissionNeeded());
    EXPECT_EQ(list.errorMessage(), "화면 기록 권한이 필요함");

}

// A monitor with ID 0 is a failed creation and is removed before the next attempt; four failures
// throw the last kind and leave nothing. Raw resolution values are what the settings file keeps.
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
        EXPECT_EQ(facility.attempts, 4);
        EXPECT_EQ(facility.live, 0);
    }
    for (auto resolution : allVirtualResolutions)
        EXPECT_EQ(virtualResolutionFromRawValue(rawValue(resolution)), resolution) << rawValue(resolution);
    for (const char* unknown : {"", "FullHD", "fullhd", "4k", "hd "})
        EXPECT_FALSE(virtualResolutionFromRawValue(unknown)) << unknown;
}

}  // namespace
}  // namespace kestrio::display
