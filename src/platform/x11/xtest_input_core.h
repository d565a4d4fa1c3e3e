#pragma once

// The inside of XTestInputPoster, shared by the files that implement it: the connection
// (xtest_input_poster.cpp), the pointer (xtest_pointer.cpp) and the keyboard (xtest_typing.cpp).

#include "platform/x11/xcb_reply.h"
#include "platform/x11/xtest_connection.h"
#include "platform/x11/xtest_input_poster.h"
#include "platform/x11/xtest_keymap.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrio::platform::x11 {

class XTestInputPoster::Core : public std::enable_shared_from_this<Core> {
public:
    Core(std::string displayName, std::shared_ptr<runtime::Clock> clock, std::weak_ptr<runtime::Executor> queue)
        : displayName_(std::move(displayName)), clock_(std::move(clock)), queue_(std::move(queue))
    {
    }

    void connect();

    void close();

    std::optional<model::ScreenPoint> pointerLocation();

    void warpPointer(model::ScreenPoint to);

    void postMouseEvent(model::MouseEventType type, model::ScreenPoint at);

    void postScroll(std::int32_t vertical, std::int32_t horizontal);

    void postKey(model::Key key, model::Modifiers modifiers);

    void postText(std::string_view text, model::Modifiers modifiers);

    // Runs on the queue: empties the spare keycodes once nothing has been typed on them for a while.
    void restoreWhenQuiet();

private:
    // A keycode that had no keysyms when this poster found it, and which it lends to keysyms
    // that no key types.
    struct SpareKeycode {
        xcb_keycode_t keycode = 0;
        xcb_keysym_t keysym = xtest::noSymbol;  // what the poster put there; NoSymbol while empty
        // Clients read keys at their own pace, in real time, whatever clock the poster is given.
        std::chrono::steady_clock::time_point lastPressed{};
    };

    xcb_connection_t* connection() const { return session_->connection; }

    // Connects when needed and takes in what the server has sent. False when there is no server
    // to talk to.
    bool prepare(bool keyboard);

    bool ensureSession();

    void adopt(std::unique_ptr<xtest::Session> session);

    void endSession();

    // MappingNotify is the only event sent unasked; it says the keyboard mapping must be read again.
    void drainEvents();

    // Sends what is buffered. A server that has stopped reading what it is sent (one that is
    // stopped or stuck) would block the write for as long as it stays so; one that has not made
    // room by replyTimeout counts as gone.
    bool flush();

    bool awaitWritable();

    // The reply to request `sequence`; null when the request failed or no reply came within
    // replyTimeout, which ends the session.
    XcbReply<void> awaitReply(unsigned int sequence);

    // Waits until the server has handled everything sent so far. False when the session ended.
    bool roundTrip();

    bool answered(unsigned int sequence) const { return static_cast<std::int32_t>(answeredThrough_ - sequence) >= 0; }

    bool refreshMapping();

    // Brings the spare keycodes in line with the server's mapping: a key still typing what the
    // poster put there stays lent, an empty one is spare, one that another client filled is left
    // to it.
    void takeSpareKeycodes();

    bool holdsLentKeys() const;

    template <typename Spares>
    static auto* spareAt(Spares& spares, xcb_keycode_t keycode)
    {
        auto found = std::find_if(spares.begin(), spares.end(), [keycode](const SpareKeycode& spare) {
            return spare.keycode == keycode;
        });
        return found == spares.end() ? nullptr : &*found;
    }

    bool isSpare(xcb_keycode_t keycode) const { return spareAt(spares_, keycode) != nullptr; }

    xcb_void_cookie_t fakeInput(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0);

    void moveTo(model::ScreenPoint point);

    void click(std::uint8_t button, int count);

    // Types `keysyms` in order, with Control held around each key when asked. False when the
    // session ended.
    //
    // Xlib clients update their copy of the mapping when they read the first key after a change,
    // with a round trip, and forget changes announced while that round trip is out; any client
    // reads a key through the mapping as it is then. So changes come in batches: keysyms are put
    // on as many spare keycodes as the text needs and there are, all before the keys typed on
    // them, and the next batch waits until the server has delivered the last of those keys and
    // spareKeycodeReuseDelay has passed since.
    bool typeKeysyms(std::unique_lock<std::mutex>& lock, std::span<const xcb_keysym_t> keysyms, bool control);

    struct TypingBatch {
        std::vector<std::pair<std::size_t, xcb_keysym_t>> lends;  // index into spares_, keysym to put there
        // For each keysym in the batch, its key; nothing for one no key can type.
        std::vector<std::optional<xcb_keycode_t>> keys;
    };

    // As many of `keysyms` as can be typed with one change of spare keycodes per keysym that no
    // key types now, and no spare keycode changed after being typed on.
    TypingBatch planBatch(std::span<const xcb_keysym_t> keysyms) const;

    // A key of the keyboard's own, not a spare one, that types `keysym` without modifiers.
    std::optional<xcb_keycode_t> keyboardKeycode(xcb_keysym_t keysym) const;

    bool press(xcb_keycode_t keycode, std::optional<xcb_keycode_t> controlKey);

    // Whether the mapping may be changed now: the server has delivered the last key whose meaning
    // depends on it and clients have had spareKeycodeReuseDelay to read that key. When not, waits
    // until it may (letting go of the lock) and returns false, since anything may have changed
    // meanwhile.
    bool readyToChangeMapping(std::unique_lock<std::mutex>& lock);

    void lend(SpareKeycode& spare, xcb_keysym_t keysym);

    // Empties the spare keycodes that hold keysyms; with `whenQuiet`, only once nothing has been
    // typed on them for spareKeycodeRestoreDelay.
    void emptySpareKeycodes(std::unique_lock<std::mutex>& lock, bool whenQuiet);

    void noteSpareUse();

    void scheduleRestore(runtime::Duration delay);

    const std::string displayName_;
    const std::shared_ptr<runtime::Clock> clock_;
    const std::weak_ptr<runtime::Executor> queue_;

    std::mutex mutex_;
    bool closed_ = false;
    std::unique_ptr<xtest::Session> session_;
    std::shared_ptr<xtest::ConnectAttempt> attempt_;
    bool attemptAwaited_ = false;
    runtime::TimePoint nextAttempt_ = runtime::TimePoint::min();
    bool mappingStale_ = false;
    unsigned int answeredThrough_ = 0;
    // Kept across sessions: a server that was only slow still holds what the poster put there.
    std::vector<SpareKeycode> spares_;
    // The last key press whose meaning depends on the mapping staying as it is until clients have
    // read it: one on a spare keycode, or the first after a change, which clients read with a
    // refresh of their copy of the mapping. Real time, as clients read at their own pace.
    std::chrono::steady_clock::time_point lastMappingSensitivePress_{};
    // The request that released that key, until the server has been seen to handle it.
    std::optional<unsigned int> mappingSensitiveRelease_;
    bool changedSinceLastPress_ = false;
    runtime::TimePoint lastSpareUse_{};
    bool restoreScheduled_ = false;
    runtime::TimerHandle restoreTimer_;
    model::WheelClicks verticalClicks_;
    model::WheelClicks horizontalClicks_;
};

}  // namespace kestrio::platform::x11
