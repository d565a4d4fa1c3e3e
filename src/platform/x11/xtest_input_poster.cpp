// XTestInputPoster's connection to the server: opening it, waiting on it with a time limit, and
// giving it up. The pointer and the keyboard are in xtest_pointer.cpp and xtest_typing.cpp.
#include "platform/x11/xtest_input_core.h"

#include "runtime/serial_queue.h"

#include <xcb/xcbext.h>

#include <cerrno>
#include <cstdlib>
#include <poll.h>

namespace kestrio::platform::x11 {

using namespace xtest;

void XTestInputPoster::Core::connect()
{
    std::lock_guard lock(mutex_);
    attempt_ = ConnectAttempt::start(displayName_);
    if (!attempt_)
        nextAttempt_ = clock_->now() + reconnectInterval;
}

void XTestInputPoster::Core::close()
{
    SigpipeGuard guard;
    std::unique_lock lock(mutex_);
    closed_ = true;
    restoreTimer_.cancel();
    // A session lost to a slow server may have left keys filled: one more try to empty them.
    if (!session_ && holdsLentKeys()) {
        nextAttempt_ = runtime::TimePoint::min();
        ensureSession();
    }
    if (session_) {
        emptySpareKeycodes(lock, false);
        roundTrip();
    }
    if (attempt_) {
        // Normally over at once; one stuck on a frozen server is left to finish on its own.
        attempt_->waitUntil(*clock_, clock_->now() + replyTimeout);
        attempt_->abandon();
    }
    attempt_.reset();
    session_.reset();
}

bool XTestInputPoster::Core::prepare(bool keyboard)
{
    if (closed_ || !ensureSession())
        return false;
    drainEvents();
    if (!session_)
        return false;
    if (keyboard && (!session_->xtest || (mappingStale_ && !refreshMapping())))
        return false;
    return true;
}

bool XTestInputPoster::Core::ensureSession()
{
    if (session_) {
        if (!xcb_connection_has_error(connection()))
            return true;
        endSession();
    }
    if (!attempt_) {
        if (clock_->now() < nextAttempt_)
            return false;
        attempt_ = ConnectAttempt::start(displayName_);
        attemptAwaited_ = false;
        if (!attempt_) {
            nextAttempt_ = clock_->now() + reconnectInterval;
            return false;
        }
    }
    // Waited for once; a server that keeps it waiting longer is not waited for again.
    if (!attemptAwaited_) {
        attemptAwaited_ = true;
        attempt_->waitUntil(*clock_, clock_->now() + replyTimeout);
    }
    auto outcome = attempt_->take();
    if (!outcome)
        return false;
    attempt_.reset();
    if (!*outcome) {
        nextAttempt_ = clock_->now() + reconnectInterval;
        return false;
    }
    adopt(std::move(*outcome));
    return true;
}

void XTestInputPoster::Core::adopt(std::unique_ptr<Session> session)
{
    session_ = std::move(session);
    mappingStale_ = false;
    answeredThrough_ = 0;
    mappingSensitiveRelease_.reset();  // a sequence number of a connection that is gone
    takeSpareKeycodes();
    if (holdsLentKeys())
        scheduleRestore(spareKeycodeRestoreDelay);
}

void XTestInputPoster::Core::endSession()
{
    session_.reset();
    nextAttempt_ = clock_->now() + reconnectInterval;
}

void XTestInputPoster::Core::drainEvents()
{
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection())) {
        if ((event->response_type & 0x7f) == XCB_MAPPING_NOTIFY &&
            reinterpret_cast<const xcb_mapping_notify_event_t*>(event)->request == XCB_MAPPING_KEYBOARD)
            mappingStale_ = true;
        std::free(event);
    }
    if (xcb_connection_has_error(connection()))
        endSession();
}

bool XTestInputPoster::Core::flush()
{
    if (!session_)
        return false;
    if (xcb_connection_has_error(connection()) || !awaitWritable() || xcb_flush(connection()) <= 0 ||
        xcb_connection_has_error(connection())) {
        endSession();
        return false;
    }
    return true;
}

bool XTestInputPoster::Core::awaitWritable()
{
    pollfd entry{xcb_get_file_descriptor(connection()), POLLOUT, 0};
    std::optional<runtime::TimePoint> deadline;
    for (;;) {
        int timeout = 0;
        if (deadline) {
            const auto left = *deadline - clock_->now();
            if (left <= runtime::Duration::zero())
                return false;
            timeout = pollTimeout(left);
        }
        entry.revents = 0;
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0)
            return true;  // writable, or broken: the write says which
        if (ready < 0 && errno != EINTR)
            return false;
        if (!deadline)
            deadline = clock_->now() + replyTimeout;
    }
}

XcbReply<void> XTestInputPoster::Core::awaitReply(unsigned int sequence)
{
    if (!flush())
        return own<void>(nullptr);
    const auto deadline = clock_->now() + replyTimeout;
    for (;;) {
        void* reply = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (xcb_poll_for_reply(connection(), sequence, &reply, &error)) {
            std::free(error);
            if (xcb_connection_has_error(connection())) {
                std::free(reply);
                endSession();
                return own<void>(nullptr);
            }
            answeredThrough_ = sequence;
            return own(reply);
        }
        const auto left = deadline - clock_->now();
        if (xcb_connection_has_error(connection()) || left <= runtime::Duration::zero()) {
            endSession();
            return own<void>(nullptr);
        }
        pollfd entry{xcb_get_file_descriptor(connection()), POLLIN, 0};
        ::poll(&entry, 1, pollTimeout(left));
    }
}

bool XTestInputPoster::Core::roundTrip()
{
    if (!session_)
        return false;
    return awaitReply(xcb_get_input_focus(connection()).sequence) != nullptr;
}

XTestInputPoster::XTestInputPoster(std::string displayName, std::shared_ptr<runtime::Clock> clock,
                                   std::shared_ptr<runtime::Executor> queue)
{
    if (!clock)
        clock = runtime::makeSteadyClock();
    if (!queue) {
        ownQueue_ = runtime::SerialQueue::create("com.kestrio.xtest-input");
        queue = ownQueue_;
    }
    core_ = std::make_shared<Core>(std::move(displayName), std::move(clock), queue);
    core_->connect();
}

XTestInputPoster::~XTestInputPoster()
{
    core_->close();
    if (ownQueue_)
        ownQueue_->shutdown();
}

std::optional<model::ScreenPoint> XTestInputPoster::pointerLocation()
{
    return core_->pointerLocation();
}

void XTestInputPoster::warpPointer(model::ScreenPoint to)
{
    core_->warpPointer(to);
}

void XTestInputPoster::postMouseEvent(model::MouseEventType type, model::ScreenPoint at)
{
    core_->postMouseEvent(type, at);
}

void XTestInputPoster::postScroll(std::int32_t vertical, std::int32_t horizontal)
{
    core_->postScroll(vertical, horizontal);
}

void XTestInputPoster::postKey(model::Key key, model::Modifiers modifiers)
{
    core_->postKey(key, modifiers);
}

void XTestInputPoster::postText(std::string_view text, model::Modifiers modifiers)
{
    core_->postText(text, modifiers);
}

}  // namespace kestrio::platform::x11
