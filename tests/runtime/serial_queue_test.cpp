#include "runtime/serial_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace kestrio::runtime {
namespace {

TEST(SerialQueueTest, RunsTasksInPostingOrderOnItsOwnThread)
{
    auto queue = SerialQueue::create("test.order");
    auto other = SerialQueue::create("test.other");
    std::vector<int> order;
    bool onlyThisQueue = true;
    // Held until everything is posted, so that the task posted from a task comes after them all.
    std::promise<void> gate;
    queue->post([opened = gate.get_future().share()] { opened.wait(); });
    for (int i = 0; i < 100; ++i)
        queue->post([&, i] {
            order.push_back(i);
            onlyThisQueue = onlyThisQueue && queue->isCurrent() && !other->isCurrent();
            if (i == 0)
                queue->post([&] { order.push_back(100); });
        });
    gate.set_value();
    // The first sync may overtake the task posted from a task; the second cannot.
    queue->sync();
    queue->sync();
    ASSERT_EQ(order.size(), 101u);
    for (int i = 0; i <= 100; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_TRUE(onlyThisQueue);
    EXPECT_FALSE(queue->isCurrent());
}

TEST(SerialQueueTest, ShutdownOrLastOwnerLettingGoFromItsOwnTaskDoesNotDeadlock)
{
    using namespace std::chrono_literals;
    // A deadlock shows as a failure here rather than as the test program's timeout; the thread
    // left waiting then keeps what it uses alive on its own.
    auto queue = SerialQueue::create("test.self-stop");
    auto stopped = std::make_shared<std::promise<void>>();
    queue->post([queue, stopped] {
        queue->shutdown();
        stopped->set_value();
    });
    ASSERT_EQ(stopped->get_future().wait_for(10s), std::future_status::ready) << "shutdown from its own task hung";
    auto synced = std::make_shared<std::promise<void>>();
    std::thread([queue, synced] {
        queue->sync();
        synced->set_value();
    }).detach();
    EXPECT_EQ(synced->get_future().wait_for(10s), std::future_status::ready) << "sync after shutdown hung";

    auto released = SerialQueue::create("test.self-release");
    std::weak_ptr<SerialQueue> weak = released;
    auto finished = std::make_shared<std::promise<void>>();
    std::promise<void> letGo;
    released->post([owner = released, finished, letGo = letGo.get_future().share()]() mutable {
        letGo.wait();
        owner.reset();
        finished->set_value();
    });
    released.reset();
    letGo.set_value();
    ASSERT_EQ(finished->get_future().wait_for(10s), std::future_status::ready) << "letting go from its own task hung";
    EXPECT_TRUE(weak.expired());
}

TEST(SerialQueueTest, ShutdownDropsPendingAndLaterTasks)
{
    auto queue = SerialQueue::create("test.shutdown");
    std::promise<void> release;
    std::promise<void> blocking;
    queue->post([&, released = release.get_future().share()] {
        blocking.set_value();
        released.wait();
    });
    auto pending = std::make_shared<int>();
    std::weak_ptr<int> pendingTask = pending;
    bool pendingRan = false;
    queue->post([&, pending = std::move(pending)] { pendingRan = true; });

    blocking.get_future().wait();
    std::thread stopper([&] { queue->shutdown(); });
    while (!queue->context().stopped())
        std::this_thread::yield();
    release.set_value();
    stopper.join();
    EXPECT_FALSE(pendingRan);

    auto late = std::make_shared<int>();
    std::weak_ptr<int> lateTask = late;
    queue->post([late = std::move(late)] { FAIL() << "ran after shutdown"; });
    EXPECT_TRUE(lateTask.expired());
    // Returns even though the marker it posts never runs.
    queue->sync();
    queue.reset();
    EXPECT_TRUE(pendingTask.expired());
}

}  // namespace
}  // namespace kestrio::runtime
