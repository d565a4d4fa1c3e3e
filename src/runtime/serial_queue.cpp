#include "runtime/serial_queue.h"

#include <asio/post.hpp>

#include <chrono>
#include <future>
#include <pthread.h>

namespace kestrio::runtime {

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label)
{
    return std::shared_ptr<SerialQueue>(new SerialQueue(std::move(label)));
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)),
      context_(std::make_shared<asio::io_context>(1)),
      work_(asio::make_work_guard(*context_))
{
    // Thread names are limited to 15 bytes; keep the most telling end of the label.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    thread_ = std::thread([context = context_, name] {
        pthread_setname_np(pthread_self(), name.c_str());
        context->run();
    });
}

SerialQueue::~SerialQueue()
{
    shutdown();
}

void SerialQueue::post(std::function<void()> task)
{
    if (context_->stopped())
        return;
    asio::post(*context_, std::move(task));
}

bool SerialQueue::isCurrent() const
{
    return context_->get_executor().running_in_this_thread();
}

void SerialQueue::sync()
{
    // Shared with the marker: once the queue has stopped we return without it, and a thread
    // that took the marker just before the stop may still run it.
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    asio::post(*context_, [done] { done->set_value(); });
    while (future.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if (context_->stopped())
            return;
    }
}

void SerialQueue::shutdown()
{
    work_.reset();
    context_->stop();
    if (!thread_.joinable())
        return;
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

}  // namespace kestrio::runtime
