#pragma once

#include "runtime/executor.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QObject;

namespace kestrio::window {

// The model's main executor in the window app: tasks run on the Qt GUI thread, from its event
// loop, one at a time and in the order they were posted. Posting is safe from any thread.
class QtMainExecutor final : public runtime::Executor {
public:
    // Call on the GUI thread once the QGuiApplication exists.
    static std::shared_ptr<QtMainExecutor> create();
    ~QtMainExecutor() override;

    QtMainExecutor(const QtMainExecutor&) = delete;
    QtMainExecutor& operator=(const QtMainExecutor&) = delete;

    void post(std::function<void()> task) override;
    // The whole GUI thread counts: the window's handlers call the model there as well.
    bool isCurrent() const override;

    // Drops the queued tasks and every task posted afterwards. GUI thread.
    void shutdown();

    // Tasks posted and neither run nor dropped yet.
    std::size_t pendingTasks() const { return shared_->pending.load(); }

    // What the receiver and the executor share; the receiver may outlive the executor and the
    // other way round (the application deletes it with its other children).
    struct Shared {
        std::mutex mutex;
        QObject* receiver = nullptr;
        std::atomic<std::size_t> pending{0};
    };

private:
    explicit QtMainExecutor(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
    std::thread::id thread_;
};

}  // namespace kestrio::window
