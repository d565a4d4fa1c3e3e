#include "window/qt_main_executor.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

namespace kestrio::window {

namespace {

QEvent::Type taskEventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// Carries one task through the event queue. Qt deletes an event that was never delivered
// (its receiver went away), which drops the task.
class TaskEvent final : public QEvent {
public:
    TaskEvent(std::function<void()> task, std::shared_ptr<QtMainExecutor::Shared> shared)
        : QEvent(taskEventType()), task_(std::move(task)), shared_(std::move(shared))
    {
    }
    ~TaskEvent() override
    {
        // Dropped or run: either way it no longer waits.
        shared_->pending.fetch_sub(1);
    }

    void run()
    {
        // Released before the count drops, so that what the task held is gone once it reads 0.
        auto task = std::move(task_);
        task();
    }

private:
    std::function<void()> task_;
    std::shared_ptr<QtMainExecutor::Shared> shared_;
};

class Receiver final : public QObject {
public:
    explicit Receiver(std::shared_ptr<QtMainExecutor::Shared> shared) : QObject(QCoreApplication::instance()), shared_(std::move(shared))
    {
        shared_->receiver = this;
    }
    ~Receiver() override
    {
        // Before QObject's destructor deletes the queued events: a task that goes with them may
        // post again, and must find the executor closed.
        std::lock_guard lock(shared_->mutex);
        shared_->receiver = nullptr;
    }

    bool event(QEvent* event) override
    {
        if (event->type() != taskEventType())
            return QObject::event(event);
        static_cast<TaskEvent*>(event)->run();
        return true;
    }

private:
    std::shared_ptr<QtMainExecutor::Shared> shared_;
};

}  // namespace

std::shared_ptr<QtMainExecutor> QtMainExecutor::create()
{
    auto shared = std::make_shared<Shared>();
    new Receiver(shared);  // owned by the application
    return std::shared_ptr<QtMainExecutor>(new QtMainExecutor(std::move(shared)));
}

QtMainExecutor::QtMainExecutor(std::shared_ptr<Shared> shared) : shared_(std::move(shared)), thread_(std::this_thread::get_id()) {}

QtMainExecutor::~QtMainExecutor()
{
    if (isCurrent()) {
        shutdown();
        return;
    }
    // The last owner may be a timer thread: the receiver is deleted on its own thread.
    std::lock_guard lock(shared_->mutex);
    if (shared_->receiver)
        shared_->receiver->deleteLater();
}

void QtMainExecutor::post(std::function<void()> task)
{
    std::unique_lock lock(shared_->mutex);
    if (!shared_->receiver) {
        lock.unlock();
        return;  // `task` is destroyed here, outside the lock
    }
    shared_->pending.fetch_add(1);
    QCoreApplication::postEvent(shared_->receiver, new TaskEvent(std::move(task), shared_));
}

bool QtMainExecutor::isCurrent() const
{
    return std::this_thread::get_id() == thread_;
}

void QtMainExecutor::shutdown()
{
    QObject* receiver = nullptr;
    {
        std::lock_guard lock(shared_->mutex);
        receiver = shared_->receiver;
    }
    delete receiver;  // clears shared_->receiver, then drops what was queued
}

}  // namespace kestrio::window
