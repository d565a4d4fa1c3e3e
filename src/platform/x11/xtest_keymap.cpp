#include "platform/x11/xtest_keymap.h"

#include "runtime/utf8.h"

#include <X11/keysym.h>

#include <algorithm>

namespace kestrio::platform::xtest {
namespace {

// The keysym that types `codePoint`. Nothing for the control characters that no key types.
std::optional<xcb_keysym_t> keysymForCodePoint(char32_t codePoint)
{
    switch (codePoint) {
    case U'\n':
    case U'\r':
        return XK_Return;
    case U'\t':
        return XK_Tab;
    case U'\b':
        return XK_BackSpace;
    default:
        break;
    }
    if ((codePoint >= 0x20 && codePoint <= 0x7e) || (codePoint >= 0xa0 && codePoint <= 0xff))
        return codePoint;
    if (codePoint < 0xa0)
        return std::nullopt;
    return 0x1000000u | codePoint;
}

}  // namespace

xcb_keysym_t keysymForKey(model::Key key)
{
    const auto index = static_cast<int>(key);
    if (key >= model::Key::a && key <= model::Key::z)
        return static_cast<xcb_keysym_t>(XK_a + (index - static_cast<int>(model::Key::a)));
    if (key >= model::Key::digit0 && key <= model::Key::digit9)
        return static_cast<xcb_keysym_t>(XK_0 + (index - static_cast<int>(model::Key::digit0)));
    switch (key) {
    case model::Key::space:
        return XK_space;
    case model::Key::enter:
        return XK_Return;
    case model::Key::backspace:
        return XK_BackSpace;
    default:
        return noSymbol;
    }
}

std::vector<xcb_keysym_t> keysymsForText(std::string_view text)
{
    std::vector<xcb_keysym_t> keysyms;
    keysyms.reserve(text.size());
    bool afterCarriageReturn = false;
    runtime::forEachScalar(text, [&](char32_t scalar, std::string_view) {
        const bool lineFeedAfterReturn = afterCarriageReturn && scalar == U'\n';
        afterCarriageReturn = scalar == U'\r';
        if (lineFeedAfterReturn)
            return;
        if (auto keysym = keysymForCodePoint(scalar))
            keysyms.push_back(*keysym);
    });
    return keysyms;
}

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

}  // namespace kestrio::platform::xtest
