#pragma once

#include "desktop/input_event_poster.h"
#include "platform/desktop_common/keysyms.h"
#include "platform/kde/kde_desktop.h"
#include "platform/kde/kwin_clipboard.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kestrio::platform::kde {

// Posts input through KWin's fake-input protocol: absolute pointer motion in the desktop's
// logical pixels, buttons, scrolling in wheel clicks, and keys of the layout KWin types with.
// Text the layout cannot type (Korean, emoji) is pasted whole through the clipboard, the user's
// clipboard put back after. Command is Control. Without the protocol every call does nothing.
class KdeInputPoster final : public model::InputEventPoster {
public:
    explicit KdeInputPoster(std::shared_ptr<KdeDesktop> desktop);
    ~KdeInputPoster() override;

    std::optional<model::ScreenPoint> pointerLocation() override;
    void warpPointer(model::ScreenPoint to) override;
    void postMouseEvent(model::MouseEventType type, model::ScreenPoint at) override;
    void postScroll(std::int32_t vertical, std::int32_t horizontal) override;
    void postKey(model::Key key, model::Modifiers modifiers) override;
    void postText(std::string_view text, model::Modifiers modifiers) override;
    // Makes KWin's fake input device now: a seat without a pointer gains one, which its clients
    // take up before they can be given pointer events.
    void prepare() override;

private:
    // The key that types a keysym in KWin's layout, and whether Shift is held for it.
    struct KeyStroke {
        std::uint32_t code = 0;  // evdev
        bool shift = false;
    };
    bool ready(std::unique_lock<std::mutex>& held);
    std::optional<KeyStroke> strokeOf(desktop_common::Keysym keysym);
    void type(const KeyStroke& stroke, bool shortcut);
    void readLayout(const std::string& keymap);

    std::shared_ptr<KdeDesktop> desktop_;
    std::shared_ptr<KwinConnection> connection_;
    std::mutex mutex_;  // one event at a time, in the order posted
    bool authenticated_ = false;
    std::unique_ptr<KwinClipboard> clipboard_;
    std::uint64_t layoutVersion_ = 0;  // of the connection's keymap read into layout_
    std::map<desktop_common::Keysym, KeyStroke> layout_;
    std::optional<model::ScreenPoint> location_;
    model::WheelClicks verticalClicks_;
    model::WheelClicks horizontalClicks_;
};

}  // namespace kestrio::platform::kde
