#include "platform/desktop_common/watch_thread.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdexcept>
#include <unistd.h>

namespace kestrio::platform::desktop_common {

WatchThread::WatchThread()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot create a pipe");
    stopRead_.reset(ends[0]);
    stopWrite_.reset(ends[1]);
}

WatchThread::~WatchThread()
{
    const char stop = 0;
    while (::write(stopWrite_.get(), &stop, 1) < 0 && errno == EINTR) {
    }
    if (thread_.joinable())
        thread_.join();
}

void WatchThread::start(const char* name, std::function<void()> work)
{
    if (thread_.joinable())
        return;
    thread_ = std::thread([name, work = std::move(work)] {
        pthread_setname_np(pthread_self(), name);
        work();
    });
}

bool WatchThread::waitFor(int descriptor) const
{
    for (;;) {
        pollfd entries[2]{{descriptor, POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (entries[1].revents != 0)
            return false;
        if (entries[0].revents != 0)
            return true;
    }
}

}  // namespace kestrio::platform::desktop_common
