#include "platform/desktop_common/descriptor_watch.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>

namespace kestrio::platform::desktop_common {

DescriptorWatch::DescriptorWatch(int descriptor, std::function<void()> readable) : readable_(std::move(readable))
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return;  // no watch: the owner's own cadence still reads the descriptor
    stopRead_.reset(ends[0]);
    stopWrite_.reset(ends[1]);
    thread_ = std::thread([this, descriptor] { watch(descriptor); });
}

DescriptorWatch::~DescriptorWatch()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    rearmed_.notify_all();
    if (stopWrite_)
        (void)!::write(stopWrite_.get(), "x", 1);
    if (thread_.joinable())
        thread_.join();
}

void DescriptorWatch::disarm()
{
    std::lock_guard lock(mutex_);
    armed_ = false;
}

void DescriptorWatch::rearm()
{
    {
        std::lock_guard lock(mutex_);
        armed_ = true;
    }
    rearmed_.notify_all();
}

void DescriptorWatch::watch(int descriptor)
{
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            rearmed_.wait(lock, [this] { return armed_ || stopping_; });
            if (stopping_)
                return;
        }
        pollfd entries[2]{{descriptor, POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (entries[1].revents)
            return;
        if (entries[0].revents & POLLNVAL)
            return;
        {
            std::lock_guard lock(mutex_);
            if (!armed_)
                continue;  // the owner is reading: what came is its own
            armed_ = false;
        }
        readable_();
    }
}

}  // namespace kestrio::platform::desktop_common
