#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrio::runtime {

// `text`, which came from outside the host (a web feed, another program's answer), made safe to
// print on a terminal or show in a label as one line:
// - white-space controls (tab, line feed, vertical tab, form feed, carriage return) and the
//   line and paragraph separators (U+2028, U+2029) become a space, so that a field can neither start a line of its own nor glue two words together;
// - every other C0 control, DEL and every C1 control (U+0080–U+009F) is removed: no escape
//   sequences, bells or backspaces reach the terminal;
// - the bidirectional embedding, override and isolate marks (U+202A–U+202E, U+2066–U+2069),
//   which can make printed text read other than it is, are removed;
// - bytes that are not well-formed UTF-8 each become U+FFFD, so that no raw C1 byte survives
//   for a terminal that reads 8-bit controls.
// Everything else, other languages' letters and emoji included, is kept as it is. Applying it
// twice changes nothing more.
std::string printableText(std::string_view text);

// The longest start of `text` (UTF-8) of at most `maxBytes` bytes that ends on a character
// boundary.
std::string_view cutAtCharacter(std::string_view text, std::size_t maxBytes);

}  // namespace kestrio::runtime
