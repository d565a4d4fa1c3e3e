// Relative pointer motion and wheel scrolling at the 8 ms tick, in virtual time.
#include "model/model_fakes_support.h"
#include "model/mouse_control_driver.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using model::ScreenPoint;
using model::ScreenRect;

class MouseControlDriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        model::MouseControlDriver::Environment environment;
        environment.queue = queue;
        environment.clock = clock;
        environment.input = input;
        environment.displayRects = [this] { return rects; };
        driver = model::MouseControlDriver::create(std::move(environment));
        queue->runUntilIdle();
    }
    void TearDown() override
    {
        driver->stop();
        queue->runUntilIdle();
    }
    void advance(runtime::Duration step) { clock->advance(step); }

    std::shared_ptr<runtime::ManualExecutor> queue = std::make_shared<runtime::ManualExecutor>();
    std::shared_ptr<runtime::VirtualClock> clock = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<RecordingInput> input = std::make_shared<RecordingInput>();
    std::vector<ScreenRect> rects{{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
    std::shared_ptr<model::MouseControlDriver> driver;
};

TEST_F(MouseControlDriverTest, AVectorMovesHalfOfItselfEveryEightMilliseconds)
{
    input->pointer = ScreenPoint{100, 500};
    driver->setMouseVelocity(10, 0);
    queue->runUntilIdle();
    advance(7ms);
    EXPECT_TRUE(input->mouse.empty());
    advance(1ms);
    ASSERT_EQ(input->mouse.size(), 1u);
    EXPECT_EQ(input->mouse[0].type, model::MouseEventType::moved);
    EXPECT_EQ(input->pointer, (ScreenPoint{105, 500}));

    // One second: about 625 points, then the right edge of the union of the displays.
    advance(1s - 8ms);
    EXPECT_EQ(input->mouse.size(), 125u);
    EXPECT_EQ(input->pointer, (ScreenPoint{725, 500}));
    advance(10s);
    EXPECT_EQ(input->pointer, (ScreenPoint{3200, 500}));

    driver->setMouseVelocity(0, 0);
    queue->runUntilIdle();
    const auto posted = input->mouse.size();
    advance(1s);
    EXPECT_EQ(input->mouse.size(), posted);
    EXPECT_EQ(clock->pendingTimers(), 0u);  // idle: no ticks are scheduled

    // Motion resumes on the cadence kept since creation (12 s ago): 3 ms into a period, the first
    // step comes 5 ms later.
    advance(3ms);
    driver->setMouseVelocity(-10, 0);
    queue->runUntilIdle();
    advance(4ms);
    EXPECT_EQ(input->mouse.size(), posted);
    advance(1ms);
    EXPECT_EQ(input->mouse.size(), posted + 1);
}

TEST_F(MouseControlDriverTest, ADownwardMoveNeverLeavesTheDisplayThroughItsBottom)
{
    rects = {{0, 0, 1920, 1080}, {0, 1080, 1920, 1080}};
    input->pointer = ScreenPoint{500, 1070};
    driver->setMouseVelocity(0, 40);
    queue->runUntilIdle();
    advance(80ms);
    EXPECT_EQ(input->pointer, (ScreenPoint{500, 1079}));
    // Upwards is free.
    driver->setMouseVelocity(0, -40);
    queue->runUntilIdle();
    advance(8ms);
    EXPECT_EQ(input->pointer, (ScreenPoint{500, 1059}));
}

TEST_F(MouseControlDriverTest, WheelStepsRoundHalvesAwayFromZero)
{
    driver->setWheelVelocity(0.9, 0);
    queue->runUntilIdle();
    advance(80ms);
    EXPECT_TRUE(input->scrolls.empty()) << "0.45 a tick rounds to nothing";

    driver->setWheelVelocity(0, -1);
    queue->runUntilIdle();
    advance(24ms);
    EXPECT_EQ(input->scrolls, (std::vector<std::pair<std::int32_t, std::int32_t>>(3, {-1, 0})));

    driver->haltMotion();
    queue->runUntilIdle();
    advance(80ms);
    EXPECT_EQ(input->scrolls.size(), 3u);
}

TEST_F(MouseControlDriverTest, WithoutDisplaysThePointerMovesUnclamped)
{
    rects.clear();
    input->pointer.reset();
    driver->setMouseVelocity(-4, -4);
    queue->runUntilIdle();
    advance(8ms);
    EXPECT_EQ(input->pointer, (ScreenPoint{-2, -2}));
}

TEST(DisplayRect, ContainingElseNearestCentre)
{
    const std::vector<ScreenRect> rects{{0, 0, 100, 100}, {100, 0, 100, 100}, {0, 200, 100, 100}};
    EXPECT_EQ(model::displayRect(rects, {150, 50}), rects[1]);
    EXPECT_EQ(model::displayRect(rects, {100, 50}), rects[1]) << "the left edge belongs to the rectangle";
    EXPECT_EQ(model::displayRect(rects, {50, 160}), rects[2]) << "in the gap: the nearest centre (90 away, not 110)";
    EXPECT_EQ(model::displayRect(rects, {100, 150}), rects[0]) << "a tie goes to the earlier";
    EXPECT_EQ(model::displayRect({}, {0, 0}), std::nullopt);
}

}  // namespace
}  // namespace kestrio::test

namespace kestrio::test {
namespace {

TEST(DisplayGeometry, ReadsThePlatformAtMostOnceASecondUnlessADisplayIsNew)
{
    auto facility = std::make_shared<FakeDisplayFacility>();
    facility->physical = {physicalDisplay(1, 0)};
    auto now = std::chrono::steady_clock::time_point{};
    model::DisplayGeometry geometry(facility, [&now] { return now; });

    EXPECT_EQ(geometry.rects(), (std::vector<model::ScreenRect>{{0, 0, 1920, 1080}}));
    EXPECT_EQ(geometry.bounds(1), (model::ScreenRect{0, 0, 1920, 1080}));
    now += std::chrono::milliseconds(900);
    geometry.rects();
    EXPECT_EQ(facility->queries, 1);

    // A display made since the last reading is looked for at once.
    facility->physical.push_back(physicalDisplay(2, 1920, 1280, 1024));
    EXPECT_EQ(geometry.bounds(2), (model::ScreenRect{1920, 0, 1280, 1024}));
    EXPECT_EQ(facility->queries, 2);
    EXPECT_EQ(geometry.bounds(9), std::nullopt);

    now += std::chrono::seconds(2);
    facility->queryFails = true;
    EXPECT_TRUE(geometry.rects().empty()) << "an unreadable platform has no displays";
}

}  // namespace
}  // namespace kestrio::test
