#pragma once

#include "desktop/input_event_poster.h"
#include "platform/wlroots/virtual_keymap.h"
#include "platform/wlroots/wayland_connection.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

struct zwlr_virtual_pointer_v1;
struct zwp_virtual_keyboard_v1;

namespace kestrio::platform::wlroots {

// Posts input through a wlroots compositor's virtual pointer and keyboard: absolute motion over
// the whole desktop layout, buttons, smooth scrolling in pixels, and keys from a layout of the
// host's own (uploaded again when a text needs keys it lacks), so that any character can be typed.
// Command is Control. Without a compositor (or without the protocols) every call does nothing;
// the connection is made again at the next call after it broke.
class WlrootsInputPoster final : public model::InputEventPoster {
public:
    // `waylandDisplay` empty: $WAYLAND_DISPLAY.
    explicit WlrootsInputPoster(std::string waylandDisplay = {});
    ~WlrootsInputPoster() override;

    std::optional<model::ScreenPoint> pointerLocation() override;
    void warpPointer(model::ScreenPoint to) override;
    void postMouseEvent(model::MouseEventType type, model::ScreenPoint at) override;
    void postScroll(std::int32_t vertical, std::int32_t horizontal) override;
    void postKey(model::Key key, model::Modifiers modifiers) override;
    void postText(std::string_view text, model::Modifiers modifiers) override;
    // Makes the virtual pointer and keyboard now: a seat that had no pointer gains one, which its
    // clients take up before they can be given pointer events.
    void prepare() override;

private:
    bool connect();
    void disconnect();
    void flush();
    std::uint32_t now() const;
    void moveTo(model::ScreenPoint point);
    void typeKeysyms(const std::vector<desktop_common::Keysym>& keysyms, bool shortcut);

    std::string waylandDisplay_;
    std::mutex mutex_;
    std::unique_ptr<WaylandConnection> connection_;
    zwlr_virtual_pointer_v1* pointer_ = nullptr;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr;
    VirtualKeymap keymap_;
    bool keymapSent_ = false;
    std::optional<model::ScreenPoint> location_;
    std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now();
};

}  // namespace kestrio::platform::wlroots
