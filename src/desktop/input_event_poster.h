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

// The keys the model presses: those a shortcut is typed with, and the two editing keys the
// viewer has. A letter or digit key is the one that types it on a US keyboard, unshifted.
enum class Key : std::uint8_t {
    a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t, u, v, w, x, y, z,
    digit0, digit1, digit2, digit3, digit4, digit5, digit6, digit7, digit8, digit9,
    space, enter, backspace,
};

// The modifiers held around posted keys and text. The shortcut modifier is the one the user's
// shortcuts are made with on this desktop (the viewer calls it Command).
struct Modifiers {
    bool shortcut = false;
    bool operator==(const Modifiers&) const = default;
};

// The key that types a character, compared case-insensitively: letters, digits and the space
// bar; none for anything else.
constexpr std::optional<Key> keyForCharacter(char32_t character)
{
    // Lower-cased as the Unicode tables do for the characters whose lower case is a key: the
    // capitals, and the Kelvin sign, which lower-cases to k.
    if (character >= U'A' && character <= U'Z')
        character += U'a' - U'A';
    else if (character == U'\u212A')
        character = U'k';
    if (character >= U'a' && character <= U'z')
        return static_cast<Key>(static_cast<int>(Key::a) + static_cast<int>(character - U'a'));
    if (character >= U'0' && character <= U'9')
        return static_cast<Key>(static_cast<int>(Key::digit0) + static_cast<int>(character - U'0'));
    if (character == U' ')
        return Key::space;
    return std::nullopt;
}

// Turns scrolls in pixels into whole wheel clicks, on one axis. GTK, Firefox and Chromium scroll
// three lines, about 50 pixels, per wheel click; one click per 50 pixels makes a swipe on the
// phone move content about as far as it would under the finger. Pixels that do not make a whole
// click are kept for the next scroll in the same direction; a change of direction drops them.
class WheelClicks {
public:
    static constexpr int pixelsPerClick = 50;

    // The whole clicks (signed as `pixels`) that `pixels` more make.
    int add(std::int32_t pixels)
    {
        if (pixels == 0)
            return 0;
        if ((remainder_ > 0 && pixels < 0) || (remainder_ < 0 && pixels > 0))
            remainder_ = 0;
        remainder_ += pixels;
        const std::int64_t clicks = remainder_ / pixelsPerClick;
        remainder_ -= clicks * pixelsPerClick;
        return static_cast<int>(clicks);
    }

private:
    std::int64_t remainder_ = 0;
};

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
    // Presses and releases the key with `modifiers` held.
    virtual void postKey(Key key, Modifiers modifiers) = 0;
    // Types `text` (UTF-8) as it is, whatever the keyboard layout, with `modifiers` held. A byte
    // that does not start a well-formed sequence types as U+FFFD.
    virtual void postText(std::string_view text, Modifiers modifiers) = 0;
    // A stream just started: makes ready now what the desktop needs before a first event can
    // land (a virtual pointer the compositor must announce to its clients first), so that the
    // viewer's first touch is not lost.
    virtual void prepare() {}
};

}  // namespace kestrio::model
