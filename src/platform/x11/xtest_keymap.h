#pragma once

// The keysyms the XTEST poster types and the server's keyboard mapping, as the poster reads it.

#include "model/input_event_poster.h"

#include <xcb/xcb.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kestrio::platform::xtest {

inline constexpr xcb_keysym_t noSymbol = 0;

// The keysym of the key: the one it types on a US keyboard, unshifted.
xcb_keysym_t keysymForKey(model::Key key);

// The keysyms that type `text` (UTF-8), in order. A byte that does not start a well-formed
// sequence stands for U+FFFD, the replacement character, so that the reader sees that something
// was there. CR LF is one Return; control characters that no key types are left out.
std::vector<xcb_keysym_t> keysymsForText(std::string_view text);

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

    bool isEmpty(xcb_keycode_t keycode) const;
    // Whether the key types `keysym` and nothing else, as a key the poster filled does.
    bool typesOnly(xcb_keycode_t keycode, xcb_keysym_t keysym) const;
};

// Asks for the whole mapping.
xcb_get_keyboard_mapping_cookie_t requestMapping(xcb_connection_t* connection);
// The mapping in the reply; none for a missing or empty reply.
std::optional<KeyboardMapping> mappingFrom(const xcb_setup_t* setup, const xcb_get_keyboard_mapping_reply_t* reply);

}  // namespace kestrio::platform::xtest
