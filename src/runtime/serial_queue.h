#pragma once

#include "runtime/executor.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <memory>
#include <string>
#include <thread>

namespace kestrio::runtime {

// A labelled serial queue: one io_context run by one thread of its own. Asio I/O objects that
// belong to the queue are created on context(); their handlers then run on the queue.
class SerialQueue final : public Executor, public std::enable_shared_from_this<SerialQueue> {
public:
    static std::shared_ptr<SerialQueue> create(std::string label);
    ~SerialQueue() override;

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(std::function<void()> task) override;
    bool isCurrent() const override;

    const std::string& label() const { return label_; }
    asio::io_context& context() { return *context_; }

    // Blocks until every task posted before this call has run. Must not be called on the queue.
    void sync();

    // Stops running tasks; pending ones are dropped. Joins the thread unless called on it.
    void shutdown();

private:
    explicit SerialQueue(std::string label);

    std::string label_;
    // Shared with the thread, which may outlive this object when the last owner lets go of the
    // queue from one of its own tasks.
    std::shared_ptr<asio::io_context> context_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
};

}  // namespace kestrio::runtime
