#pragma once

#include <functional>

namespace kestrio::runtime {

// A serial executor: tasks posted to it run one at a time, in the order they were posted.
class Executor {
public:
    virtual ~Executor() = default;

    // Queues a task. Never blocks and never runs the task inline. A task posted to an
    // executor that has shut down is dropped.
    virtual void post(std::function<void()> task) = 0;

    // True while the calling thread is running one of this executor's tasks.
    virtual bool isCurrent() const = 0;
};

}  // namespace kestrio::runtime
