#pragma once

#include "runtime/executor.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>

namespace kestrio::runtime {

// Runs tasks on an io_context that someone else runs (e.g. the main thread's).
class IoContextExecutor final : public Executor {
public:
    explicit IoContextExecutor(asio::io_context& context) : context_(context) {}

    void post(std::function<void()> task) override { asio::post(context_, std::move(task)); }
    bool isCurrent() const override { return context_.get_executor().running_in_this_thread(); }

private:
    asio::io_context& context_;
};

}  // namespace kestrio::runtime
