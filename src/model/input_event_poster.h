#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrio::model {

// A point in the desktop's global space (origin top-left of the desktop, y growing downwards).
struct ScreenPoint {
    double x = 0;
    double y = 0;
    bool operator==(const ScreenPoint&) const = default;
};

// The mouse events the model posts.
enum class MouseEventType { leftDown = 1, leftUp = 2, rightDown = 3, rightUp = 4, moved = 5, leftDragged = 6 };

// The one modifier the viewer holds: its Command key, which on this desktop is the modifier of
// the user's shortcuts.
inline constexpr std::uint64_t commandModifierFlag = 0x100000;

// Posts synthetic input into the desktop's event stream. Every operation does nothing when the
// desktop cannot take the event; none throws.
class InputEventPoster {
public:
    virtual ~InputEventPoster() = default;

    // Where the pointer is, when it can be read.
    virtual std::optional<ScreenPoint> pointerLocation() = 0;
    // Moves the pointer without posting a mouse event.
    virtual void warpPointer(ScreenPoint to) = 0;
    virtual void postMouseEvent(MouseEventType type, ScreenPoint at) = 0;
    // A scroll in pixels: positive vertical scrolls up (towards the top of the content),
    // positive horizontal scrolls left; each of magnitude at most 500.
    virtual void postScroll(std::int32_t vertical, std::int32_t horizontal) = 0;
    // Presses and releases the key with this US-layout virtual key code (the code table of the
    // viewer protocol: a = 0, s = 1, … return = 36, space = 49, backspace = 51) with the
    // modifiers of `flags` held.
    virtual void postKeyStroke(std::uint16_t keyCode, std::uint64_t flags) = 0;
    // Types the text (UTF-16 units) as it is, whatever the keyboard layout, with the modifiers of
    // `flags` held.
    virtual void postText(std::u16string_view text, std::uint64_t flags) = 0;
};

}  // namespace kestrio::model
