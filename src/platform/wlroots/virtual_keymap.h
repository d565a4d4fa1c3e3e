#pragma once

#include "platform/desktop_common/keysyms.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrio::platform::wlroots {

// The keyboard layout a virtual keyboard uploads: one key per keysym that is to be typed, so that
// any character can be, whatever layout the user has. Control is always there (on its own key,
// as the Control modifier) for shortcuts.
class VirtualKeymap {
public:
    // Keys beyond this are not seen by X clients (through Xwayland); longer texts are typed in parts.
    static constexpr std::size_t capacity = 240;

    VirtualKeymap();

    // Makes room for all of `keysyms` (at most `capacity` - 1 distinct ones); true when the
    // layout changed and is to be uploaded again. Keysyms already on a key keep it while they fit.
    bool include(const std::vector<desktop_common::Keysym>& keysyms);
    // The evdev code of the key that types `keysym` (the xkb keycode less 8), if it has one.
    std::optional<std::uint32_t> keyOf(desktop_common::Keysym keysym) const;
    // The layout in the xkb text format.
    std::string text() const;

private:
    std::vector<desktop_common::Keysym> keys_;  // key i types keys_[i]; key 0 is Control
};

}  // namespace kestrio::platform::wlroots
