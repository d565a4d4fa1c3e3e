#pragma once

// The XTEST poster's connection to the server: opened on a thread of its own, since xcb_connect
// has no time limit.

#include "platform/x11/xtest_keymap.h"
#include "runtime/clock.h"

#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kestrio::platform::x11::xtest {

// How often a wait on the server looks at the clock again.
inline constexpr std::chrono::milliseconds waitSlice{10};

// How long one poll() within a wait may block, with `left` of the wait to go.
int pollTimeout(runtime::Duration left);

// libxcb reads what is waiting before it writes, and so usually learns by reading that the server
// has gone away; but a server that goes away between the two makes the write raise SIGPIPE, which
// would end the process. While an operation talks to the server the signal is held back on the
// calling thread, and one raised meanwhile is consumed, so that the write merely fails.
class SigpipeGuard {
public:
    SigpipeGuard();
    ~SigpipeGuard();

    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t pipe_;
    sigset_t previous_;
    bool wasPending_ = false;
};

// One connection to the server and what was learnt when it was opened.
struct Session {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = XCB_NONE;
    bool xtest = false;
    KeyboardMapping mapping;

    Session() = default;
    ~Session()
    {
        if (connection)
            xcb_disconnect(connection);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

// A session being opened on a thread of its own.
class ConnectAttempt {
public:
    // Null when no thread could be started.
    static std::shared_ptr<ConnectAttempt> start(std::string displayName);

    // Returns once the attempt is over or `deadline` has passed on `clock`.
    void waitUntil(const runtime::Clock& clock, runtime::TimePoint deadline);

    // Once the attempt is over: the session, or null when none could be opened. Nothing while it
    // goes on.
    std::optional<std::unique_ptr<Session>> take();

    // Nobody will take the outcome: a session that opens after all is closed at once.
    void abandon();

private:
    void finish(std::unique_ptr<Session> session);

    std::mutex mutex_;
    std::condition_variable finished_;
    bool over_ = false;
    bool abandoned_ = false;
    std::unique_ptr<Session> session_;
};

}  // namespace kestrio::platform::x11::xtest
