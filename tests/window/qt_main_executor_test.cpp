// The model's main executor in the window app: the Qt GUI thread's event loop.
#include "window/qt_main_executor.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kestrio::test {
namespace {

void runPostedTasks(window::QtMainExecutor& executor)
{
    while (executor.pendingTasks() > 0) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

TEST(QtMainExecutor, RunsTasksFromEveryThreadOnTheGuiThreadInOrderAndNeverInline)
{
    auto executor = window::QtMainExecutor::create();
    const auto guiThread = std::this_thread::get_id();
    std::vector<std::string> order;
    std::vector<bool> onGuiThread;
    bool ranInline = true;

    executor->post([&] {
        order.push_back("first");
        onGuiThread.push_back(executor->isCurrent());
        // Posted from a task: behind everything already queued.
        executor->post([&] { order.push_back("from a task"); });
    });
    ranInline = !order.empty();
    std::thread other([&] {
        EXPECT_FALSE(executor->isCurrent());
        for (int i = 0; i < 100; ++i)
            executor->post([&, i] {
                order.push_back("other " + std::to_string(i));
                onGuiThread.push_back(std::this_thread::get_id() == guiThread);
            });
    });
    other.join();
    EXPECT_FALSE(ranInline);
    EXPECT_EQ(executor->pendingTasks(), 101U);

    runPostedTasks(*executor);
    ASSERT_EQ(order.size(), 102U);
    EXPECT_EQ(order.front(), "first");
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[1 + i], "other " + std::to_string(i));
    EXPECT_EQ(order.back(), "from a task");
    for (const bool gui : onGuiThread)
        EXPECT_TRUE(gui);
}

TEST(QtMainExecutor, AfterShutdownQueuedAndLaterTasksAreDroppedNotRun)
{
    auto executor = window::QtMainExecutor::create();
    auto held = std::make_shared<int>(0);
    bool ran = false;
    executor->post([&ran, held] { ran = true; });
    executor->shutdown();
    EXPECT_EQ(held.use_count(), 1) << "the queued task was destroyed with what it held";
    EXPECT_EQ(executor->pendingTasks(), 0U);
    executor->post([&ran, held] { ran = true; });
    EXPECT_EQ(held.use_count(), 1) << "a task posted after the shutdown is dropped at once";
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
}

TEST(QtMainExecutor, TheLastOwnerMayLetGoOnAnotherThread)
{
    const auto childrenBefore = QCoreApplication::instance()->children().size();
    auto executor = window::QtMainExecutor::create();
    bool ran = false;
    executor->post([&ran] { ran = true; });
    // As a timer thread does when it held the last reference.
    std::thread other([executor = std::move(executor)]() mutable { executor.reset(); });
    other.join();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(ran) << "what was queued before still runs, on the GUI thread";
    EXPECT_EQ(QCoreApplication::instance()->children().size(), childrenBefore) << "the receiver went with it";
}

}  // namespace
}  // namespace kestrio::test
