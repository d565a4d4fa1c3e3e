#include "platform/x11/xtest_input_poster.h"
#include "platform/x11/xcb_reply.h"
#include "platform/x11/x11_connect.h"

#include "runtime/serial_queue.h"

#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <span>
#include <thread>
#include <utility>
#include <vector>

namespace kestrio::platform {
namespace {

using model::MouseEventType;
using model::ScreenPoint;
using SteadyTime = std::chrono::steady_clock::time_point;

constexpr xcb_keysym_t noSymbol = 0;

// How often a wait on the server looks at the clock again.
constexpr std::chrono::milliseconds waitSlice{10};

// How long one poll() within a wait may block, with `left` of the wait to go.
int pollTimeout(runtime::Duration left)
{
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(std::min<runtime::Duration>(left, waitSlice)).count());
}

// The label of the thread that opens connections, as a thread listing shows it.
constexpr const char* connectThreadName = "xtest-connect";

// libxcb reads what is waiting before it writes, and so usually learns by reading that the server
// has gone away; but a server that goes away between the two makes the write raise SIGPIPE, which
// would end the process. While an operation talks to the server the signal is held back on the
// calling thread, and one raised meanwhile is consumed, so that the write merely fails.
class SigpipeGuard {
public:
    SigpipeGuard()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    }

    ~SigpipeGuard()
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

    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t pipe_;
    sigset_t previous_;
    bool wasPending_ = false;
};

struct KeyCodeKeysym {
    std::uint16_t keyCode;
    xcb_keysym_t keysym;
};

// The viewer's US-layout key codes that are posted, and the keysyms they type.
constexpr KeyCodeKeysym keyCodeKeysyms[] = {
    {0, XK_a},  {1, XK_s},  {2, XK_d},  {3, XK_f},  {4, XK_h},  {5, XK_g},  {6, XK_z},  {7, XK_x},
    {8, XK_c},  {9, XK_v},  {11, XK_b}, {12, XK_q}, {13, XK_w}, {14, XK_e}, {15, XK_r}, {16, XK_y},
    {17, XK_t}, {18, XK_1}, {19, XK_2}, {20, XK_3}, {21, XK_4}, {22, XK_6}, {23, XK_5}, {25, XK_9},
    {26, XK_7}, {28, XK_8}, {29, XK_0}, {31, XK_o}, {32, XK_u}, {34, XK_i}, {35, XK_p}, {36, XK_Return},
    {37, XK_l}, {38, XK_j}, {40, XK_k}, {45, XK_n}, {46, XK_m}, {49, XK_space}, {51, XK_BackSpace},
};

std::optional<xcb_keysym_t> keysymForKeyCode(std::uint16_t keyCode)
{
    for (const auto& entry : keyCodeKeysyms)
        if (entry.keyCode == keyCode)
            return entry.keysym;
    return std::nullopt;
}

// The keysym that types `codePoint`. Nothing for the control characters that no key types.
std::optional<xcb_keysym_t> keysymForCodePoint(char32_t codePoint)
{
    switch (codePoint) {
    case U'\n':
    case U'\r':
        return XK_Return;
    case U'\t':
        return XK_Tab;
    case U'\b':
        return XK_BackSpace;
    default:
        break;
    }
    if ((codePoint >= 0x20 && codePoint <= 0x7e) || (codePoint >= 0xa0 && codePoint <= 0xff))
        return codePoint;
    if (codePoint < 0xa0)
        return std::nullopt;
    return 0x1000000u | codePoint;
}

// The keysyms that type `text`, in order. A surrogate without its partner stands for U+FFFD, the
// replacement character, so that the reader sees that something was there. CR LF is one Return.
std::vector<xcb_keysym_t> keysymsForText(std::u16string_view text)
{
    std::vector<xcb_keysym_t> keysyms;
    keysyms.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t codePoint = text[i];
        if (codePoint >= 0xd800 && codePoint <= 0xdbff && i + 1 < text.size() && text[i + 1] >= 0xdc00 &&
            text[i + 1] <= 0xdfff) {
            codePoint = 0x10000 + ((codePoint - 0xd800) << 10) + (text[i + 1] - 0xdc00);
            ++i;
        } else if (codePoint >= 0xd800 && codePoint <= 0xdfff) {
            codePoint = 0xfffd;
        } else if (codePoint == U'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
            continue;
        }
        if (auto keysym = keysymForCodePoint(codePoint))
            keysyms.push_back(*keysym);
    }
    return keysyms;
}

// The server's keyboard mapping: for each keycode a row of keysyms, the first being what the key
// types without modifiers in the first group.
struct KeyboardMapping {
    xcb_keycode_t minKeycode = 0;
    std::size_t perKeycode = 0;
    std::vector<xcb_keysym_t> keysyms;

    std::size_t keycodeCount() const { return perKeycode ? keysyms.size() / perKeycode : 0; }

    bool contains(xcb_keycode_t keycode) const
    {
        return keycode >= minKeycode && static_cast<std::size_t>(keycode - minKeycode) < keycodeCount();
    }

    std::span<xcb_keysym_t> row(xcb_keycode_t keycode)
    {
        return std::span(keysyms).subspan(static_cast<std::size_t>(keycode - minKeycode) * perKeycode, perKeycode);
    }
    std::span<const xcb_keysym_t> row(xcb_keycode_t keycode) const
    {
        return std::span(keysyms).subspan(static_cast<std::size_t>(keycode - minKeycode) * perKeycode, perKeycode);
    }

    bool isEmpty(xcb_keycode_t keycode) const
    {
        auto keys = row(keycode);
        return std::all_of(keys.begin(), keys.end(), [](xcb_keysym_t keysym) { return keysym == noSymbol; });
    }

    // Whether the key types `keysym` and nothing else, as a key this poster filled does.
    bool typesOnly(xcb_keycode_t keycode, xcb_keysym_t keysym) const
    {
        auto keys = row(keycode);
        return !keys.empty() && keys[0] == keysym &&
               std::all_of(keys.begin(), keys.end(), [keysym](xcb_keysym_t key) { return key == keysym || key == noSymbol; });
    }
};

std::optional<KeyboardMapping> mappingFrom(const xcb_setup_t* setup, const xcb_get_keyboard_mapping_reply_t* reply)
{
    if (!reply || reply->keysyms_per_keycode == 0)
        return std::nullopt;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply);
    const int length = xcb_get_keyboard_mapping_keysyms_length(reply);
    KeyboardMapping mapping;
    mapping.minKeycode = setup->min_keycode;
    mapping.perKeycode = reply->keysyms_per_keycode;
    mapping.keysyms.assign(keysyms, keysyms + length);
    mapping.keysyms.resize(mapping.keycodeCount() * mapping.perKeycode);
    return mapping;
}

xcb_get_keyboard_mapping_cookie_t requestMapping(xcb_connection_t* connection)
{
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    return xcb_get_keyboard_mapping(connection, setup->min_keycode, static_cast<std::uint8_t>(count));
}

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

// A session being opened on a thread of its own.
class ConnectAttempt {
public:
    // Null when no thread could be started.
    static std::shared_ptr<ConnectAttempt> start(std::string displayName)
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

    // Returns once the attempt is over or `deadline` has passed on `clock`.
    void waitUntil(const runtime::Clock& clock, runtime::TimePoint deadline)
    {
        std::unique_lock lock(mutex_);
        while (!over_ && clock.now() < deadline)
            finished_.wait_for(lock, waitSlice);
    }

    // Once the attempt is over: the session, or null when none could be opened. Nothing while it
    // goes on.
    std::optional<std::unique_ptr<Session>> take()
    {
        std::lock_guard lock(mutex_);
        if (!over_)
            return std::nullopt;
        return std::move(session_);
    }

    // Nobody will take the outcome: a session that opens after all is closed at once.
    void abandon()
    {
        std::unique_ptr<Session> session;
        std::lock_guard lock(mutex_);
        abandoned_ = true;
        session = std::move(session_);
    }

private:
    void finish(std::unique_ptr<Session> session)
    {
        {
            std::lock_guard lock(mutex_);
            over_ = true;
            if (!abandoned_)
                session_ = std::move(session);
        }
        finished_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable finished_;
    bool over_ = false;
    bool abandoned_ = false;
    std::unique_ptr<Session> session_;
};

// A keycode that had no keysyms when this poster found it, and which it lends to keysyms that no
// key types.
struct SpareKeycode {
    xcb_keycode_t keycode = 0;
    xcb_keysym_t keysym = noSymbol;  // what the poster put there; NoSymbol while empty
    // Clients read keys at their own pace, in real time, whatever clock the poster is given.
    SteadyTime lastPressed{};
};

std::optional<std::pair<std::int16_t, std::int16_t>> pixelAt(ScreenPoint point)
{
    if (!std::isfinite(point.x) || !std::isfinite(point.y))
        return std::nullopt;
    auto coordinate = [](double value) {
        return static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
    };
    return std::pair{coordinate(point.x), coordinate(point.y)};
}

// Adds `pixels` to what was left over on an axis and returns the whole wheel clicks (signed)
// that makes. A change of direction drops what was left over.
int wheelClicks(std::int64_t& remainder, std::int32_t pixels)
{
    if (pixels == 0)
        return 0;
    if ((remainder > 0 && pixels < 0) || (remainder < 0 && pixels > 0))
        remainder = 0;
    remainder += pixels;
    const std::int64_t clicks = remainder / XTestInputPoster::pixelsPerWheelClick;
    remainder -= clicks * XTestInputPoster::pixelsPerWheelClick;
    return static_cast<int>(clicks);
}

}  // namespace

class XTestInputPoster::Core : public std::enable_shared_from_this<Core> {
public:
    Core(std::string displayName, std::shared_ptr<runtime::Clock> clock, std::weak_ptr<runtime::Executor> queue)
        : displayName_(std::move(displayName)), clock_(std::move(clock)), queue_(std::move(queue))
    {
    }

    void connect()
    {
        std::lock_guard lock(mutex_);
        attempt_ = ConnectAttempt::start(displayName_);
        if (!attempt_)
            nextAttempt_ = clock_->now() + reconnectInterval;
    }

    void close()
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

    std::optional<ScreenPoint> pointerLocation()
    {
        SigpipeGuard guard;
        std::unique_lock lock(mutex_);
        if (!prepare(false))
            return std::nullopt;
        const auto cookie = xcb_query_pointer(connection(), session_->root);
        auto reply = awaitReply(cookie.sequence);
        if (!reply)
            return std::nullopt;
        const auto* pointer = static_cast<const xcb_query_pointer_reply_t*>(reply.get());
        return ScreenPoint{static_cast<double>(pointer->root_x), static_cast<double>(pointer->root_y)};
    }

    void warpPointer(ScreenPoint to)
    {
        const auto pixel = pixelAt(to);
        if (!pixel)
            return;
        SigpipeGuard guard;
        std::unique_lock lock(mutex_);
        if (!prepare(false))
            return;
        xcb_warp_pointer(connection(), XCB_NONE, session_->root, 0, 0, 0, 0, pixel->first, pixel->second);
        flush();
    }

    void postMouseEvent(MouseEventType type, ScreenPoint at)
    {
        SigpipeGuard guard;
        std::unique_lock lock(mutex_);
        if (!prepare(false) || !session_->xtest)
            return;
        moveTo(at);
        switch (type) {
        case MouseEventType::leftDown:
            fakeInput(XCB_BUTTON_PRESS, 1);
            break;
        case MouseEventType::leftUp:
            fakeInput(XCB_BUTTON_RELEASE, 1);
            break;
        case MouseEventType::rightDown:
            fakeInput(XCB_BUTTON_PRESS, 3);
            break;
        case MouseEventType::rightUp:
            fakeInput(XCB_BUTTON_RELEASE, 3);
            break;
        case MouseEventType::moved:
        case MouseEventType::leftDragged:
            break;
        }
        flush();
    }

    void postScroll(std::int32_t vertical, std::int32_t horizontal)
    {
        SigpipeGuard guard;
        std::unique_lock lock(mutex_);
        const int up = wheelClicks(verticalRemainder_, vertical);
        const int left = wheelClicks(horizontalRemainder_, horizontal);
        if ((up == 0 && left == 0) || !prepare(false) || !session_->xtest)
            return;
        click(up > 0 ? 4 : 5, std::abs(up));
        click(left > 0 ? 6 : 7, std::abs(left));
        flush();
    }

    void postKeyStroke(std::uint16_t keyCode, std::uint64_t flags)
    {
        const auto keysym = keysymForKeyCode(keyCode);
        if (!keysym)
            return;
        SigpipeGuard guard;
        std::unique_lock lock(mutex_);
        if (!prepare(true))
            return;
        typeKeysyms(lock, std::span(&*keysym, 1), (flags & model::commandModifierFlag) != 0);
    }

    void postText(std::u16string_view text, std::uint64_t flags)
    {
        const auto keysyms = keysymsForText(text);
        if (keysyms.empty())
            return;
        SigpipeGuard guard;
        std::unique_lock lock(mutex_);
        if (!prepare(true))
            return;
        typeKeysyms(lock, keysyms, (flags & model::commandModifierFlag) != 0);
    }

    // Runs on the queue: empties the spare keycodes once nothing has been typed on them for a while.
    void restoreWhenQuiet()
    {
        SigpipeGuard guard;
        std::unique_lock lock(mutex_);
        restoreScheduled_ = false;
        if (closed_ || !session_)
            return;  // a new session schedules its own restore
        emptySpareKeycodes(lock, true);
    }

private:
    xcb_connection_t* connection() const { return session_->connection; }

    // Connects when needed and takes in what the server has sent. False when there is no server
    // to talk to.
    bool prepare(bool keyboard)
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

    bool ensureSession()
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

    void adopt(std::unique_ptr<Session> session)
    {
        session_ = std::move(session);
        mappingStale_ = false;
        answeredThrough_ = 0;
        mappingSensitiveRelease_.reset();  // a sequence number of a connection that is gone
        takeSpareKeycodes();
        if (holdsLentKeys())
            scheduleRestore(spareKeycodeRestoreDelay);
    }

    void endSession()
    {
        session_.reset();
        nextAttempt_ = clock_->now() + reconnectInterval;
    }

    // MappingNotify is the only event sent unasked; it says the keyboard mapping must be read again.
    void drainEvents()
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

    // Sends what is buffered. A server that has stopped reading what it is sent (one that is
    // stopped or stuck) would block the write for as long as it stays so; one that has not made
    // room by replyTimeout counts as gone.
    bool flush()
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

    bool awaitWritable()
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

    // The reply to request `sequence`; null when the request failed or no reply came within
    // replyTimeout, which ends the session.
    XcbReply<void> awaitReply(unsigned int sequence)
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

    // Waits until the server has handled everything sent so far. False when the session ended.
    bool roundTrip()
    {
        if (!session_)
            return false;
        return awaitReply(xcb_get_input_focus(connection()).sequence) != nullptr;
    }

    bool answered(unsigned int sequence) const { return static_cast<std::int32_t>(answeredThrough_ - sequence) >= 0; }

    bool refreshMapping()
    {
        auto reply = awaitReply(requestMapping(connection()).sequence);
        if (!reply)
            return false;
        auto mapping = mappingFrom(xcb_get_setup(connection()),
                                   static_cast<const xcb_get_keyboard_mapping_reply_t*>(reply.get()));
        if (!mapping)
            return false;
        session_->mapping = std::move(*mapping);
        mappingStale_ = false;
        takeSpareKeycodes();
        return true;
    }

    // Brings the spare keycodes in line with the server's mapping: a key still typing what the
    // poster put there stays lent, an empty one is spare, one that another client filled is left
    // to it.
    void takeSpareKeycodes()
    {
        const KeyboardMapping& mapping = session_->mapping;
        std::vector<SpareKeycode> spares;
        for (auto& spare : spares_) {
            if (!mapping.contains(spare.keycode))
                continue;
            if (spare.keysym != noSymbol && mapping.typesOnly(spare.keycode, spare.keysym)) {
                spares.push_back(spare);
            } else if (mapping.isEmpty(spare.keycode)) {
                spare.keysym = noSymbol;
                spares.push_back(spare);
            }
        }
        for (std::size_t index = 0; index < mapping.keycodeCount(); ++index) {
            const auto keycode = static_cast<xcb_keycode_t>(mapping.minKeycode + index);
            const bool known = std::any_of(spares.begin(), spares.end(), [keycode](const SpareKeycode& spare) {
                return spare.keycode == keycode;
            });
            if (!known && mapping.isEmpty(keycode)) {
                SpareKeycode spare;
                spare.keycode = keycode;
                spares.push_back(spare);
            }
        }
        spares_ = std::move(spares);
    }

    bool holdsLentKeys() const
    {
        return std::any_of(spares_.begin(), spares_.end(), [](const SpareKeycode& spare) { return spare.keysym != noSymbol; });
    }

    template <typename Spares>
    static auto* spareAt(Spares& spares, xcb_keycode_t keycode)
    {
        auto found = std::find_if(spares.begin(), spares.end(), [keycode](const SpareKeycode& spare) {
            return spare.keycode == keycode;
        });
        return found == spares.end() ? nullptr : &*found;
    }

    bool isSpare(xcb_keycode_t keycode) const { return spareAt(spares_, keycode) != nullptr; }

    xcb_void_cookie_t fakeInput(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0)
    {
        return xcb_test_fake_input(connection(), type, detail, XCB_CURRENT_TIME,
                                   type == XCB_MOTION_NOTIFY ? session_->root : XCB_NONE, x, y, 0);
    }

    void moveTo(ScreenPoint point)
    {
        if (auto pixel = pixelAt(point))
            fakeInput(XCB_MOTION_NOTIFY, 0, pixel->first, pixel->second);
    }

    void click(std::uint8_t button, int count)
    {
        for (int i = 0; i < count; ++i) {
            fakeInput(XCB_BUTTON_PRESS, button);
            fakeInput(XCB_BUTTON_RELEASE, button);
        }
    }

    // Types `keysyms` in order, with Control held around each key when asked. False when the
    // session ended.
    //
    // Xlib clients update their copy of the mapping when they read the first key after a change,
    // with a round trip, and forget changes announced while that round trip is out; any client
    // reads a key through the mapping as it is then. So changes come in batches: keysyms are put
    // on as many spare keycodes as the text needs and there are, all before the keys typed on
    // them, and the next batch waits until the server has delivered the last of those keys and
    // spareKeycodeReuseDelay has passed since.
    bool typeKeysyms(std::unique_lock<std::mutex>& lock, std::span<const xcb_keysym_t> keysyms, bool control)
    {
        std::size_t next = 0;
        while (next < keysyms.size()) {
            if (!session_)
                return false;
            std::optional<xcb_keycode_t> controlKey;
            if (control) {
                controlKey = keyboardKeycode(XK_Control_L);
                if (!controlKey)
                    controlKey = keyboardKeycode(XK_Control_R);
                // Without Control the keys would type instead of giving the command.
                if (!controlKey)
                    return true;
            }
            const TypingBatch batch = planBatch(keysyms.subspan(next));
            if (!batch.lends.empty() && !readyToChangeMapping(lock))
                continue;  // the lock was let go meanwhile, or the session ended: plan again
            for (const auto& [index, keysym] : batch.lends)
                lend(spares_[index], keysym);
            for (const auto& keycode : batch.keys)
                if (keycode && !press(*keycode, controlKey))
                    return false;
            next += batch.keys.size();
        }
        return true;
    }

    struct TypingBatch {
        std::vector<std::pair<std::size_t, xcb_keysym_t>> lends;  // index into spares_, keysym to put there
        // For each keysym in the batch, its key; nothing for one no key can type.
        std::vector<std::optional<xcb_keycode_t>> keys;
    };

    // As many of `keysyms` as can be typed with one change of spare keycodes per keysym that no
    // key types now, and no spare keycode changed after being typed on.
    TypingBatch planBatch(std::span<const xcb_keysym_t> keysyms) const
    {
        TypingBatch batch;
        std::vector<xcb_keysym_t> holds(spares_.size());
        std::transform(spares_.begin(), spares_.end(), holds.begin(), [](const SpareKeycode& spare) { return spare.keysym; });
        std::vector<bool> typedOn(spares_.size(), false);
        for (xcb_keysym_t keysym : keysyms) {
            if (auto keycode = keyboardKeycode(keysym)) {
                batch.keys.push_back(keycode);
                continue;
            }
            std::optional<std::size_t> spare;
            if (auto held = std::find(holds.begin(), holds.end(), keysym); held != holds.end()) {
                spare = static_cast<std::size_t>(held - holds.begin());
            } else {
                // The one typed on longest ago, whose last key clients have most likely read.
                for (std::size_t index = 0; index < spares_.size(); ++index)
                    if (!typedOn[index] && (!spare || spares_[index].lastPressed < spares_[*spare].lastPressed))
                        spare = index;
                if (!spare && !spares_.empty())
                    break;  // every spare keycode is typed on in this batch
                if (spare) {
                    holds[*spare] = keysym;
                    batch.lends.emplace_back(*spare, keysym);
                }
            }
            if (spare)
                typedOn[*spare] = true;
            batch.keys.push_back(spare ? std::optional(spares_[*spare].keycode) : std::nullopt);
        }
        return batch;
    }

    // A key of the keyboard's own, not a spare one, that types `keysym` without modifiers.
    std::optional<xcb_keycode_t> keyboardKeycode(xcb_keysym_t keysym) const
    {
        const KeyboardMapping& mapping = session_->mapping;
        for (std::size_t index = 0; index < mapping.keycodeCount(); ++index) {
            const auto keycode = static_cast<xcb_keycode_t>(mapping.minKeycode + index);
            if (mapping.keysyms[index * mapping.perKeycode] == keysym && !isSpare(keycode))
                return keycode;
        }
        return std::nullopt;
    }

    bool press(xcb_keycode_t keycode, std::optional<xcb_keycode_t> controlKey)
    {
        if (controlKey)
            fakeInput(XCB_KEY_PRESS, *controlKey);
        fakeInput(XCB_KEY_PRESS, keycode);
        const auto release = fakeInput(XCB_KEY_RELEASE, keycode);
        if (controlKey)
            fakeInput(XCB_KEY_RELEASE, *controlKey);
        SpareKeycode* spare = spareAt(spares_, keycode);
        if (spare || changedSinceLastPress_) {
            lastMappingSensitivePress_ = std::chrono::steady_clock::now();
            mappingSensitiveRelease_ = release.sequence;
            changedSinceLastPress_ = false;
        }
        if (spare) {
            spare->lastPressed = std::chrono::steady_clock::now();
            noteSpareUse();
        }
        return flush();
    }

    // Whether the mapping may be changed now: the server has delivered the last key whose meaning
    // depends on it and clients have had spareKeycodeReuseDelay to read that key. When not, waits
    // until it may (letting go of the lock) and returns false, since anything may have changed
    // meanwhile.
    bool readyToChangeMapping(std::unique_lock<std::mutex>& lock)
    {
        if (mappingSensitiveRelease_ && !answered(*mappingSensitiveRelease_) && !roundTrip())
            return false;
        mappingSensitiveRelease_.reset();
        const SteadyTime readyAt = lastMappingSensitivePress_ + spareKeycodeReuseDelay;
        if (std::chrono::steady_clock::now() >= readyAt)
            return true;
        lock.unlock();
        std::this_thread::sleep_until(readyAt);
        lock.lock();
        return false;
    }

    void lend(SpareKeycode& spare, xcb_keysym_t keysym)
    {
        // The keysym on both levels, so that Shift or Caps Lock held by the user changes nothing.
        const std::array<xcb_keysym_t, 2> keysyms{keysym, keysym};
        xcb_change_keyboard_mapping(connection(), 1, spare.keycode, static_cast<std::uint8_t>(keysyms.size()), keysyms.data());
        auto row = session_->mapping.row(spare.keycode);
        std::fill(row.begin(), row.end(), noSymbol);
        std::copy_n(keysyms.begin(), std::min(row.size(), keysyms.size()), row.begin());
        spare.keysym = keysym;
        changedSinceLastPress_ = true;
        noteSpareUse();
    }

    // Empties the spare keycodes that hold keysyms; with `whenQuiet`, only once nothing has been
    // typed on them for spareKeycodeRestoreDelay.
    void emptySpareKeycodes(std::unique_lock<std::mutex>& lock, bool whenQuiet)
    {
        if (!holdsLentKeys())
            return;
        // Read afresh, so that a key another client has taken since is left to it.
        if (session_)
            drainEvents();
        if (!session_ || !refreshMapping())
            return;
        for (;;) {
            if (!session_)
                return;
            if (whenQuiet && !closed_) {
                const auto quiet = clock_->now() - lastSpareUse_;
                if (quiet < spareKeycodeRestoreDelay) {
                    scheduleRestore(spareKeycodeRestoreDelay - quiet);
                    return;
                }
            }
            if (!holdsLentKeys())
                return;
            if (readyToChangeMapping(lock))
                break;
        }
        for (auto& spare : spares_) {
            if (spare.keysym == noSymbol)
                continue;
            xcb_change_keyboard_mapping(connection(), 1, spare.keycode, 1, &noSymbol);
            auto row = session_->mapping.row(spare.keycode);
            std::fill(row.begin(), row.end(), noSymbol);
            spare.keysym = noSymbol;
        }
        changedSinceLastPress_ = true;
        flush();
    }

    void noteSpareUse()
    {
        lastSpareUse_ = clock_->now();
        scheduleRestore(spareKeycodeRestoreDelay);
    }

    void scheduleRestore(runtime::Duration delay)
    {
        if (restoreScheduled_ || closed_)
            return;
        restoreScheduled_ = true;
        restoreTimer_ = clock_->schedule(delay, queue_, [weak = weak_from_this()] {
            if (auto core = weak.lock())
                core->restoreWhenQuiet();
        });
    }

    const std::string displayName_;
    const std::shared_ptr<runtime::Clock> clock_;
    const std::weak_ptr<runtime::Executor> queue_;

    std::mutex mutex_;
    bool closed_ = false;
    std::unique_ptr<Session> session_;
    std::shared_ptr<ConnectAttempt> attempt_;
    bool attemptAwaited_ = false;
    runtime::TimePoint nextAttempt_ = runtime::TimePoint::min();
    bool mappingStale_ = false;
    unsigned int answeredThrough_ = 0;
    // Kept across sessions: a server that was only slow still holds what the poster put there.
    std::vector<SpareKeycode> spares_;
    // The last key press whose meaning depends on the mapping staying as it is until clients have
    // read it: one on a spare keycode, or the first after a change, which clients read with a
    // refresh of their copy of the mapping. Real time, as clients read at their own pace.
    SteadyTime lastMappingSensitivePress_{};
    // The request that released that key, until the server has been seen to handle it.
    std::optional<unsigned int> mappingSensitiveRelease_;
    bool changedSinceLastPress_ = false;
    runtime::TimePoint lastSpareUse_{};
    bool restoreScheduled_ = false;
    runtime::TimerHandle restoreTimer_;
    std::int64_t verticalRemainder_ = 0;
    std::int64_t horizontalRemainder_ = 0;
};

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

void XTestInputPoster::postKeyStroke(std::uint16_t keyCode, std::uint64_t flags)
{
    core_->postKeyStroke(keyCode, flags);
}

void XTestInputPoster::postText(std::u16string_view text, std::uint64_t flags)
{
    core_->postText(text, flags);
}

}  // namespace kestrio::platform
