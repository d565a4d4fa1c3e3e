// The bounded path of the viewer's events: merging, the per-connection bound, stale connections.
#include "model/control_event_queue.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestrio::test {
namespace {

using namespace link::control;
using link::ViewerControlEvent;
using model::ControlEventQueue;
using Admission = ControlEventQueue::Admission;

TEST(ControlEventQueue, MergesMovesAndScrollsButNeverAcrossOtherEvents)
{
    struct Case {
        const char* name;
        std::vector<ViewerControlEvent> offered, taken;
    };
    const Case cases[] = {
        {"moves", {Move{0.1, 0.1}, Move{0.2, 0.2}, Move{0.3, 0.4}}, {Move{0.3, 0.4}}},
        {"press between moves", {Move{0.1, 0.1}, MouseDown{0.1, 0.1}, Move{0.2, 0.2}, Move{0.3, 0.3}, MouseUp{0.3, 0.3}},
         {Move{0.1, 0.1}, MouseDown{0.1, 0.1}, Move{0.3, 0.3}, MouseUp{0.3, 0.3}}},
        {"scrolls summed at the last position", {Scroll{0.1, 0.1, 10, -20}, Scroll{0.2, 0.2, 5, -30}}, {Scroll{0.2, 0.2, 15, -50}}},
        {"a sum past 500 starts a new scroll", {Scroll{0.5, 0.5, 0, 300}, Scroll{0.5, 0.5, 0, 300}, Scroll{0.5, 0.5, 0, 100}},
         {Scroll{0.5, 0.5, 0, 300}, Scroll{0.5, 0.5, 0, 400}}},
        {"move then scroll kept apart", {Move{0.1, 0.1}, Scroll{0.1, 0.1, 0, 5}, Move{0.2, 0.2}}, {Move{0.1, 0.1}, Scroll{0.1, 0.1, 0, 5}, Move{0.2, 0.2}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControlEventQueue queue;
        std::vector<Admission> admissions;
        for (const auto& event : c.offered)
            admissions.push_back(queue.offer(event, 1));
        EXPECT_EQ(admissions.front(), Admission::queuedFirst);
        EXPECT_EQ(std::count(admissions.begin(), admissions.end(), Admission::queuedFirst), 1);
        std::vector<ViewerControlEvent> taken;
        for (const auto& entry : queue.take())
            taken.push_back(entry.event);
        EXPECT_EQ(taken, c.taken);
        EXPECT_EQ(queue.offer(ClickCurrent{}, 1), Admission::queuedFirst) << "empty again after take()";
    }
}

TEST(ControlEventQueue, BoundsEventsAndTextUntilTheirWorkIsDoneAndKeepsOnlyTheCurrentConnections)
{
    for (const auto& [event, fitting] : {std::pair<ViewerControlEvent, std::size_t>{ClickCurrent{}, 4}, {Text{std::string(40, 'x')}, 2}}) {
        SCOPED_TRACE(fitting);
        ControlEventQueue queue({4, 100});
        for (std::size_t i = 0; i < fitting; ++i)
            ASSERT_NE(queue.offer(event, 7), Admission::overflow);
        auto inFlight = queue.take();
        EXPECT_EQ(queue.offer(event, 7), Admission::overflow) << "taken but not done still counts";
        EXPECT_EQ(queue.offer(event, 7), Admission::stale) << "refused once, then ignored";
        inFlight.clear();
        EXPECT_EQ(queue.pendingEvents() + queue.pendingTextBytes(), 0u);
        for (std::size_t i = 0; i < fitting; ++i)
            EXPECT_NE(queue.offer(event, 8), Admission::overflow) << "a new connection has the whole room";
        EXPECT_EQ(queue.offer(event, 7), Admission::stale) << "an older connection's events are not kept";
        queue.setCurrentGeneration(0);
        EXPECT_TRUE(queue.take().empty());
        EXPECT_FALSE(queue.isCurrent(8));
        EXPECT_EQ(queue.pendingEvents() + queue.pendingTextBytes(), 0u);
    }
}

}  // namespace
}  // namespace kestrio::test
