// Relative pointer motion and wheel scrolling at the 8 ms tick, in virtual time, and the display
// bounds they are clamped to.
#include "model/display_geometry.h"
#include "model/mouse_control_driver.h"
#include "support/host_fakes.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using model::ScreenPoint;
using model::ScreenRect;

class MouseControlDriverTest : public ::testing::Test {
protected:
    ~MouseControlDriverTest() override { driver->stop(), queue->runUntilIdle(); }
    void velocity(double dx, double dy, bool wheel = false)
    {
        wheel ? driver->setWheelVelocity(dx, dy) : driver->setMouseVelocity(dx, dy);
        queue->runUntilIdle();
    }

    std::shared_ptr<runtime::ManualExecutor> queue = std::make_shared<runtime::ManualExecutor>();
    std::shared_ptr<runtime::VirtualClock> clock = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<RecordingInput> input = std::make_shared<RecordingInput>();
    std::vector<ScreenRect> rects{{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
    std::shared_ptr<model::MouseControlDriver> driver = model::MouseControlDriver::create({queue, clock, input, [this] { return rects; }});
};

TEST_F(MouseControlDriverTest, AVectorMovesHalfOfItselfEveryEightMillisecondsOnOneCadence)
{
    input->pointer = ScreenPoint{100, 500};
    velocity(10, 0);
    clock->advance(7ms);
    EXPECT_TRUE(input->mouse.empty());
    clock->advance(1s - 7ms);
    EXPECT_EQ(input->mouse.size(), 125u);
    EXPECT_EQ(input->pointer, (ScreenPoint{725, 500}));
    clock->advance(10s);
    EXPECT_EQ(input->pointer, (ScreenPoint{3200, 500})) << "the right edge of the union of the displays";

    velocity(0, 0);
    const auto posted = input->mouse.size();
    clock->advance(1s);
    EXPECT_EQ(clock->pendingTimers(), 0u) << "idle: no ticks are scheduled";
    // 12 s + 3 ms after creation: the next tick of the cadence is 5 ms away.
    clock->advance(3ms);
    velocity(-10, 0);
    clock->advance(4ms);
    EXPECT_EQ(input->mouse.size(), posted);
    clock->advance(1ms);
    EXPECT_EQ(input->mouse.size(), posted + 1);
}

TEST_F(MouseControlDriverTest, ThePointerStaysOnItsDisplayUnlessThereAreNoneAndTheWheelRoundsHalvesUntilHalted)
{
    struct Case {
        std::vector<ScreenRect> rects;
        std::optional<ScreenPoint> from;
        double dx, dy;
        ScreenPoint to;
    };
    const Case cases[] = {
        {{{0, 0, 1920, 1080}, {0, 1080, 1920, 1080}}, ScreenPoint{500, 1070}, 0, 40, {500, 1079}},
        {{{0, 0, 1920, 1080}, {0, 1080, 1920, 1080}}, ScreenPoint{500, 1079}, 0, -40, {500, 1059}},
        {{}, std::nullopt, -4, -4, {-2, -2}},
    };
    for (const auto& c : cases) {
        rects = c.rects;
        input->pointer = c.from;
        velocity(c.dx, c.dy);
        clock->advance(8ms);
        EXPECT_EQ(input->pointer, c.to) << c.dx << "," << c.dy;
        velocity(0, 0);
    }

    velocity(0.9, 0, true);
    clock->advance(80ms);
    EXPECT_TRUE(input->scrolls.empty()) << "0.45 a tick rounds to nothing";
    velocity(0, -1, true);
    clock->advance(24ms);
    EXPECT_EQ(input->scrolls, (std::vector<std::pair<std::int32_t, std::int32_t>>(3, {-1, 0})));
    driver->haltMotion();
    queue->runUntilIdle();
    clock->advance(80ms);
    EXPECT_EQ(input->scrolls.size(), 3u);
}

TEST(DisplayGeometry, TheRectOfAPointAndReadingThePlatformAtMostOnceASecondUnlessADisplayIsNew)
{
    const std::vector<ScreenRect> rects{{0, 0, 100, 100}, {100, 0, 100, 100}, {0, 200, 100, 100}};
    EXPECT_EQ(model::displayRect(rects, {100, 50}), rects[1]) << "the left edge belongs to the rectangle";
    EXPECT_EQ(model::displayRect(rects, {50, 160}), rects[2]) << "in the gap: the nearest centre (90 away, not 110)";
    EXPECT_EQ(model::displayRect(rects, {100, 150}), rects[0]) << "a tie goes to the earlier";
    EXPECT_EQ(model::displayRect({}, {0, 0}), std::nullopt);

    auto facility = std::make_shared<FakeDisplayFacility>();
    facility->physical = {physicalDisplay(1, 0)};
    auto now = std::chrono::steady_clock::time_point{};
    model::DisplayGeometry geometry(facility, [&now] { return now; });
    EXPECT_EQ(geometry.rects(), (std::vector<ScreenRect>{{0, 0, 1920, 1080}}));
    now += 900ms;
    geometry.rects();
    EXPECT_EQ(facility->queries, 1);
    facility->physical.push_back(physicalDisplay(2, 1920, 1280, 1024));
    EXPECT_EQ(geometry.bounds(2), (ScreenRect{1920, 0, 1280, 1024}));
    EXPECT_EQ(facility->queries, 2);
    facility->physical[0].x = 3200;
    geometry.forget();
    EXPECT_EQ(geometry.bounds(1), (ScreenRect{3200, 0, 1920, 1080})) << "read again once forgotten, however recent";
    now += 2s;
    facility->queryFails = true;
    EXPECT_TRUE(geometry.rects().empty()) << "an unreadable platform has no displays";
}

}  // namespace
}  // namespace kestrio::test
