#pragma once

#include "platform/os/unique_fd.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrio::platform::desktop_common {

// Tells, from a thread of its own, when a descriptor that someone else reads (a display server's
// connection) has something to read while the owner is not reading it: `readable` runs on that
// thread, once, and the watch then rests until rearm() says the news was read, so that it never
// spins on data nobody has read yet. Between disarm() and rearm() the owner reads the descriptor
// itself (its own requests' answers) and nothing is news. The descriptor stays the owner's; the
// watch ends with the object, which must go before the descriptor is closed.
class DescriptorWatch {
public:
    DescriptorWatch(int descriptor, std::function<void()> readable);
    ~DescriptorWatch();
    DescriptorWatch(const DescriptorWatch&) = delete;
    DescriptorWatch& operator=(const DescriptorWatch&) = delete;

    // The owner reads the descriptor from now on.
    void disarm();
    // The owner has read what there was: the next data to arrive is news again.
    void rearm();

private:
    void watch(int descriptor);

    std::function<void()> readable_;
    os::UniqueFd stopRead_;
    os::UniqueFd stopWrite_;
    std::mutex mutex_;
    std::condition_variable rearmed_;
    bool armed_ = true;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace kestrio::platform::desktop_common
