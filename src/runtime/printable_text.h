#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrio::runtime {

// `text` (UTF-8) without what would change how the text around it is shown when it is printed
// or displayed: C0 control characters (line breaks and tabs included), DEL, C1 control
// characters, the line and paragraph separators, and the bidirectional embedding, override and
// isolate characters (U+202A–U+202E, U+2066–U+2069). Bytes that are not UTF-8 are dropped.
std::string printableText(std::string_view text);

// The longest start of `text` (UTF-8) of at most `maxBytes` bytes that ends on a character
// boundary.
std::string_view cutAtCharacter(std::string_view text, std::size_t maxBytes);

}  // namespace kestrio::runtime
