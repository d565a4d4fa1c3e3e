#pragma once

#include <string_view>

namespace kestrio::runtime {

// `text` without the white space and line breaks at either end: ASCII's and the rest of
// Unicode's (no-break, ideographic and the other wide spaces, line and paragraph separators),
// which a pasted name or address may carry. The text is UTF-8.
std::string_view trimmedWhiteSpace(std::string_view text);

// Nothing but white space and line breaks.
inline bool isBlank(std::string_view text)
{
    return trimmedWhiteSpace(text).empty();
}

}  // namespace kestrio::runtime
