#pragma once

// The keysyms the XTEST poster types and the server's keyboard mapping, as the poster reads it.

#include "platform/desktop_common/keysyms.h"

#include <xcb/xcb.h>

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace kestrio::platform::x11::xtest {

using desktop_common::keysymForKey;
using desktop_common::keysymsForText;
using desktop_common::noSymbol;

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

}  // namespace kestrio::platform::x11::xtest
