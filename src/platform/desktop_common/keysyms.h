#pragma once

// Keys and text as keysyms, the names X11 and every Wayland compositor (through xkbcommon) give
// what a key types.

#include "desktop/input_event_poster.h"

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace kestrio::platform::desktop_common {

using Keysym = std::uint32_t;

inline constexpr Keysym noSymbol = 0;
inline constexpr Keysym controlKeysym = 0xffe3;  // Control_L
inline constexpr Keysym returnKeysym = 0xff0d;

// The keysym of the key: the one it types on a US keyboard, unshifted.
Keysym keysymForKey(model::Key key);

// The keysym that types `codePoint`; noSymbol for the control characters that no key types.
Keysym keysymForCodePoint(char32_t codePoint);

// Calls visit(scalar, keysym) for each character of `text` (UTF-8) that a key types, in order: a
// byte that does not start a well-formed sequence is U+FFFD, CR LF is one Return, control
// characters that no key types are left out.
void forEachTypedCharacter(std::string_view text, const std::function<void(char32_t, Keysym)>& visit);

// The keysyms that type `text` (UTF-8), in order. A byte that does not start a well-formed
// sequence stands for U+FFFD, the replacement character, so that the reader sees that something
// was there. CR LF is one Return; control characters that no key types are left out.
std::vector<Keysym> keysymsForText(std::string_view text);

}  // namespace kestrio::platform::desktop_common
