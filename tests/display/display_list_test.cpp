#include "display/display_list.h"
#include "display/virtual_display_error.h"
#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>

namespace kestrio::display {
namespace {

using namespace std::chrono_literals;

DisplayInfo display(std::uint32_t id, bool own = false)
{
    return DisplayInfo{id, 0, 0, 1920, 1080, own ? std::string(virtualMonitorName) : "screen", own};
}

// Answers each query with the next scripted list (the last one repeats), or throws.
class ScriptedFacility final : public DisplayFacility {
public:
    std::vector<DisplayInfo> displays() override
    {
        ++queries;
        if (failure)
            throw std::runtime_error(*failure);
        auto next = script.front();
        if (script.size() > 1)
            script.pop_front();
        return next;
    }
    std::unique_ptr<VirtualMonitor> createVirtualMonitor(VirtualResolution, int) override { return nullptr; }

    std::deque<std::vector<DisplayInfo>> script;
    std::optional<std::string> failure;
    int queries = 0;
};

class DisplayListTest : public ::testing::Test {
protected:
    std::shared_ptr<ScriptedFacility> facility = std::make_shared<ScriptedFacility>();
    std::shared_ptr<runtime::VirtualClock> clock = std::make_shared<runtime::VirtualClock>();
    bool captureAllowed = true;
    DisplayList list{facility, clock, [this] { return captureAllowed; }};
};

TEST_F(DisplayListTest, HidesOwnMonitorsKeepsTheSelectionValidAndSaysWhyAQueryFailed)
{
    list.rememberVirtualDisplay(30);
    // Two physical displays, this run's monitor, and one left over by an earlier run.
    facility->script = {{display(10), display(30), display(20), display(40, true)}};
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

TEST_F(DisplayListTest, WaitsForANewMonitorQuarterSecondsApartAndGivesUpAfterSixtyQueries)
{
    auto executor = std::make_shared<runtime::ManualExecutor>();
    std::optional<DisplayInfo> found;
    std::string error;
    auto wait = [&](std::uint32_t id) -> runtime::Task<> {
        try {
            found = co_await list.waitForDisplay(id);
        } catch (const std::exception& e) {
            error = e.what();
        }
    };
    facility->script = {{display(10)}, {display(10)}, {display(10), display(77, true)}};
    runtime::spawn(executor, wait(77));
    executor->runUntilIdle();
    clock->advance(499ms);
    EXPECT_FALSE(found);
    clock->advance(1ms);
    ASSERT_TRUE(found) << error;
    EXPECT_EQ(found->id, 77u);

    facility->queries = 0;
    found.reset();
    runtime::spawn(executor, wait(99));
    executor->runUntilIdle();
    clock->advance(14900ms);
    EXPECT_TRUE(error.empty());
    clock->advance(100ms);
    EXPECT_EQ(facility->queries, 60);
    EXPECT_EQ(error, "가상 모니터가 macOS에 표시되지 않았습니다.");
    EXPECT_EQ(clock->pendingTimers(), 0u);
}

}  // namespace
}  // namespace kestrio::display
