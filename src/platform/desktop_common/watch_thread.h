#pragma once

#include "platform/os/unique_fd.h"

#include <functional>
#include <thread>

namespace kestrio::platform::desktop_common {

// A thread that waits on descriptors (a display server's connection, a process that may exit)
// and can be stopped at any moment: waitFor() then says so, and the thread's work ends.
class WatchThread {
public:
    WatchThread();
    // Stops the work and waits for it to end.
    ~WatchThread();
    WatchThread(const WatchThread&) = delete;
    WatchThread& operator=(const WatchThread&) = delete;

    // Runs `work` on the thread, named `name`; once only.
    void start(const char* name, std::function<void()> work);
    // Waits until `descriptor` can be read (true) or the watch is stopped (false).
    bool waitFor(int descriptor) const;

private:
    os::UniqueFd stopRead_;
    os::UniqueFd stopWrite_;
    std::thread thread_;
};

}  // namespace kestrio::platform::desktop_common
