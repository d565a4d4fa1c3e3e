#pragma once

#include "desktop/input_event_poster.h"
#include "runtime/clock.h"
#include "runtime/executor.h"

#include <chrono>
#include <memory>
#include <string>

namespace kestrio::runtime {
class SerialQueue;
}

namespace kestrio::platform::x11 {

// Posts synthetic input on an X display through the XTEST extension, over one connection of its
// own. Safe to call from several threads: calls are serialised, except that a text waiting for
// spare keycodes (below) lets other calls in meanwhile.
//
// Pointer: XTEST carries a position only with motion, so a button event at a point is a motion
// there followed by the press or release. A scroll is a run of wheel clicks (buttons 4 to 7);
// pixels that do not make a whole click are kept per axis for the next scroll in the same
// direction.
//
// Keyboard: keys are chosen by keysym, so they type the same whatever layout is loaded. A keysym
// that no key types without Shift is put on a spare keycode (one with no keysyms in the server's
// mapping) and typed there. Clients resolve a keycode when they handle its event, through their
// copy of the mapping, which they refresh when they handle a change; Xlib also forgets changes
// announced while one of its refreshes is out. So the spare keycodes are changed in batches: a
// text's keysyms go onto as many spare keycodes as it needs and there are, all before the keys
// typed on them, and a further batch (or emptying the keys) waits until the server has delivered
// the last key typed and spareKeycodeReuseDelay has passed since. A text with no more distinct
// keysyms off the keyboard than there are spare keycodes (Xvfb has 19) is typed without waiting.
// Spare keycodes are emptied once spareKeycodeRestoreDelay passes without typing on them, and
// when the poster is destroyed.
//
// A server that cannot be reached makes every call return without doing anything. The
// connection is opened on a thread of its own and waited for at most replyTimeout, since
// xcb_connect has no time limit; so is every reply. A server that does not answer in time, or
// stops reading what is sent to it, counts as gone; connecting is tried again at most once per
// reconnectInterval.
class XTestInputPoster final : public model::InputEventPoster {
public:
    static constexpr int pixelsPerWheelClick = model::WheelClicks::pixelsPerClick;
    static constexpr std::chrono::milliseconds replyTimeout{500};
    static constexpr std::chrono::seconds reconnectInterval{1};
    // Measured with xev on Xvfb, typing 300 characters of 40 kinds over 19 spare keycodes: on an
    // idle machine 10 ms lost characters now and then and 20 ms none; with both cores kept busy
    // 20 ms lost some, and from 30 ms up about one run in ten still did, which longer delays did
    // not change. A text needing no more spare keycodes than there are lost none.
    static constexpr std::chrono::milliseconds spareKeycodeReuseDelay{50};
    static constexpr std::chrono::seconds spareKeycodeRestoreDelay{3};

    // `displayName` as for xcb_connect (":1"); empty means $DISPLAY. `clock` times replies,
    // reconnections and the restoring of spare keycodes; null means the steady clock. `queue`
    // runs the restoring; null means a queue of the poster's own.
    explicit XTestInputPoster(std::string displayName = {}, std::shared_ptr<runtime::Clock> clock = nullptr,
                              std::shared_ptr<runtime::Executor> queue = nullptr);
    // Empties the spare keycodes it filled, after the last typed key had time to be read.
    ~XTestInputPoster() override;

    XTestInputPoster(const XTestInputPoster&) = delete;
    XTestInputPoster& operator=(const XTestInputPoster&) = delete;

    std::optional<model::ScreenPoint> pointerLocation() override;
    void warpPointer(model::ScreenPoint to) override;
    void postMouseEvent(model::MouseEventType type, model::ScreenPoint at) override;
    void postScroll(std::int32_t vertical, std::int32_t horizontal) override;
    void postKey(model::Key key, model::Modifiers modifiers) override;
    void postText(std::string_view text, model::Modifiers modifiers) override;

private:
    class Core;

    std::shared_ptr<Core> core_;
    // Set when the poster made its own queue; shut down after the core.
    std::shared_ptr<runtime::SerialQueue> ownQueue_;
};

}  // namespace kestrio::platform::x11
