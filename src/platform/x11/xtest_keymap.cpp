#include "platform/x11/xtest_keymap.h"

#include <algorithm>

namespace kestrio::platform::x11::xtest {

bool KeyboardMapping::isEmpty(xcb_keycode_t keycode) const
{
    auto keys = row(keycode);
    return std::all_of(keys.begin(), keys.end(), [](xcb_keysym_t keysym) { return keysym == noSymbol; });
}

bool KeyboardMapping::typesOnly(xcb_keycode_t keycode, xcb_keysym_t keysym) const
{
    auto keys = row(keycode);
    return !keys.empty() && keys[0] == keysym &&
           std::all_of(keys.begin(), keys.end(), [keysym](xcb_keysym_t key) { return key == keysym || key == noSymbol; });
}

xcb_get_keyboard_mapping_cookie_t requestMapping(xcb_connection_t* connection)
{
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    return xcb_get_keyboard_mapping(connection, setup->min_keycode, static_cast<std::uint8_t>(count));
}

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

}  // namespace kestrio::platform::x11::xtest
