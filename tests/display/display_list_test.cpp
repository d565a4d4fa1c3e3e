// The mirror-mode display list on a scripted facility (the X11 facility is tested against Xvfb
// on its own), with waits in virtual time.

#include "display/display_list.h"
#include "display/virtual_display_error.h"
#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>

namespace kestrio::display {
namespace {

using namespace std::chrono_literals;

DisplayInfo display(std::uint32_t id, int width = 1920, int height = 1080, bool own = false)
{
    return DisplayInfo{id, 0, 0, width, height, own ? std::string(virtualMonitorName) : "screen", own};
}

// Answers each query with the next scripted list (the last one repeats), or throws.
class ScriptedFacility final : public DisplayFacility {
public:
    std::vector<DisplayInfo> displays() override
    {
        ++queries;
        if (failure)
            throw std::runtime_error(*failure);
        if (script.size() > 1) {
            auto next = script.front();
            script.pop_front();
            return next;
        }
        return script.empty() ? std::vector<DisplayInfo>{} : script.front();
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
    std::shared_ptr<runtime::ManualExecutor> executor = std::make_shared<runtime::ManualExecutor>();
    bool captureAllowed = true;
    DisplayList list{facility, clock, [this] { return captureAllowed; }};
};

TEST_F(DisplayListTest, HidesOwnMonitorsAndKeepsTheSelectionValid)
{
    list.rememberVirtualDisplay(30);
    // Two physical displays, this run's monitor, and one left over by an earlier run.
    facility->script = {{display(10), display(30, 1280, 720, true), display(20, 2560, 1440), display(40, 1600, 900, true)}};
    list.refreshDisplays();
    ASSERT_EQ(list.displays().size(), 2u);
    EXPECT_EQ(list.displays()[0].id, 10u);
    EXPECT_EQ(list.displays()[1].id, 20u);
    EXPECT_EQ(list.selectedDisplayID(), 10u);  // 0 becomes the first
    EXPECT_EQ(list.currentDisplay()->id, 10u);

    list.select(20);
    list.refreshDisplays();
    EXPECT_EQ(list.selectedDisplayID(), 20u);  // still listed: kept

    facility->script = {{display(10)}};  // the selected one was unplugged
    list.refreshDisplays();
    EXPECT_EQ(list.selectedDisplayID(), 10u);

    facility->script = {{}};
    list.refreshDisplays();
    EXPECT_EQ(list.selectedDisplayID(), 0u);
    EXPECT_FALSE(list.currentDisplay());
    EXPECT_FALSE(list.errorMessage());
}

TEST_F(DisplayListTest, FailedQueryKeepsTheListAndSaysWhy)
{
    facility->script = {{display(10), display(20)}};
    list.refreshDisplays();
    list.select(20);

    facility->failure = "connection refused";
    list.refreshDisplays();
    EXPECT_EQ(list.displays().size(), 2u);
    EXPECT_EQ(list.selectedDisplayID(), 20u);
    EXPECT_FALSE(list.screenPermissionNeeded());
    EXPECT_EQ(list.errorMessage(), "화면 목록을 읽을 수 없음 \u00B7 connection refused");

    captureAllowed = false;
    list.refreshDisplays();
    EXPECT_TRUE(list.screenPermissionNeeded());
    EXPECT_EQ(list.errorMessage(), "화면 기록 권한이 필요함");
}

TEST_F(DisplayListTest, LabelsCountFromOne)
{
    EXPECT_EQ(DisplayList::koreanLabel(0, display(1, 1920, 1080)), "디스플레이 1 \u00B7 1920\u00D71080");
    EXPECT_EQ(DisplayList::englishLabel(1, display(2, 1280, 720)), "Display 2 \u00B7 1280\u00D7720");
}

runtime::Task<> waitInto(DisplayList& list, std::uint32_t id, std::optional<DisplayInfo>& found, std::string& error)
{
    try {
        found = co_await list.waitForDisplay(id);
    } catch (const VirtualDisplayException& e) {
        error = e.what();
    } catch (const std::exception& e) {
        error = std::string("other: ") + e.what();
    }
}

TEST_F(DisplayListTest, WaitingForANewMonitor)
{
    // Listed on the third query: two sleeps of 0.25 s.
    facility->script = {{display(10)}, {display(10)}, {display(10), display(77, 1280, 720, true)}};
    std::optional<DisplayInfo> found;
    std::string error;
    runtime::spawn(executor, waitInto(list, 77, found, error));
    executor->runUntilIdle();
    clock->advance(499ms);
    EXPECT_FALSE(found);
    clock->advance(1ms);
    ASSERT_TRUE(found) << error;
    EXPECT_EQ(found->id, 77u);
    EXPECT_EQ(facility->queries, 3);
    EXPECT_EQ(clock->pendingTimers(), 0u);

    // Never listed: 60 queries, then notVisible after about 15 s.
    facility->queries = 0;
    found.reset();
    runtime::spawn(executor, waitInto(list, 99, found, error));
    executor->runUntilIdle();
    clock->advance(14900ms);
    EXPECT_TRUE(error.empty());
    clock->advance(100ms);
    EXPECT_EQ(facility->queries, 60);
    EXPECT_FALSE(found);
    EXPECT_EQ(error, "가상 모니터가 macOS에 표시되지 않았습니다.");

    // A failing query ends the wait at once with its own error.
    error.clear();
    facility->failure = "gone";
    runtime::spawn(executor, waitInto(list, 5, found, error));
    executor->runUntilIdle();
    EXPECT_EQ(error, "other: gone");
}

}  // namespace
}  // namespace kestrio::display
