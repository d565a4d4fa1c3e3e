#include "platform/x11/xtest_connection.h"

#include "platform/x11/x11_connect.h"
#include "platform/x11/xcb_reply.h"

#include <xcb/xtest.h>

#include <algorithm>
#include <exception>
#include <pthread.h>
#include <thread>
#include <utility>

namespace kestrio::platform::x11::xtest {
namespace {

// The label of the thread that opens connections, as a thread listing shows it.
constexpr const char* connectThreadName = "xtest-connect";

// Opens a session; blocks for as long as the server takes. Null when the server cannot be used.
std::unique_ptr<Session> openSession(const std::string& displayName)
{
    auto session = std::make_unique<Session>();
    int screenNumber = 0;
    session->connection = connectToDisplay(displayName, &screenNumber);
    xcb_connection_t* connection = session->connection;
    if (xcb_connection_has_error(connection))
        return nullptr;
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return nullptr;
    session->root = screens.data->root;
    // Asked here, where blocking is harmless: xcb asks on the first XTEST request otherwise.
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_test_id);
    session->xtest = extension && extension->present;
    auto reply = own(xcb_get_keyboard_mapping_reply(connection, requestMapping(connection), nullptr));
    auto mapping = mappingFrom(xcb_get_setup(connection), reply.get());
    if (!mapping || xcb_connection_has_error(connection))
        return nullptr;
    session->mapping = std::move(*mapping);
    return session;
}

}  // namespace

int pollTimeout(runtime::Duration left)
{
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(std::min<runtime::Duration>(left, waitSlice)).count());
}

SigpipeGuard::SigpipeGuard()
{
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
}

SigpipeGuard::~SigpipeGuard()
{
    if (!wasPending_) {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            const timespec noWait{};
            sigtimedwait(&pipe_, nullptr, &noWait);
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

std::shared_ptr<ConnectAttempt> ConnectAttempt::start(std::string displayName)
{
    try {
        auto attempt = std::make_shared<ConnectAttempt>();
        std::thread([attempt, displayName = std::move(displayName)] {
            pthread_setname_np(pthread_self(), connectThreadName);
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
            std::unique_ptr<Session> session;
            try {
                session = openSession(displayName);
            } catch (const std::exception&) {
                // Out of memory: no session.
            }
            attempt->finish(std::move(session));
        }).detach();
        return attempt;
    } catch (const std::exception&) {
        return nullptr;
    }
}

void ConnectAttempt::waitUntil(const runtime::Clock& clock, runtime::TimePoint deadline)
{
    std::unique_lock lock(mutex_);
    while (!over_ && clock.now() < deadline)
        finished_.wait_for(lock, waitSlice);
}

std::optional<std::unique_ptr<Session>> ConnectAttempt::take()
{
    std::lock_guard lock(mutex_);
    if (!over_)
        return std::nullopt;
    return std::move(session_);
}

void ConnectAttempt::abandon()
{
    std::unique_ptr<Session> session;
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    session = std::move(session_);
}

void ConnectAttempt::finish(std::unique_ptr<Session> session)
{
    {
        std::lock_guard lock(mutex_);
        over_ = true;
        if (!abandoned_)
            session_ = std::move(session);
    }
    finished_.notify_all();
}

}  // namespace kestrio::platform::x11::xtest
