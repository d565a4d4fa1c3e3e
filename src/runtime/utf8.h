#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrio::runtime {

// Strict UTF-8: rejects overlong forms, surrogates (U+D800..U+DFFF), code points above
// U+10FFFF, stray continuation bytes and sequences cut short. NUL bytes are valid.
bool isValidUtf8(std::string_view bytes);

// The well-formed UTF-8 sequence at the start of `bytes`, by the same rules: its length and
// Unicode scalar; length 0 when `bytes` is empty or its first byte does not start one.
struct Utf8Sequence {
    std::size_t length = 0;
    char32_t scalar = 0;
};
Utf8Sequence decodeUtf8(std::string_view bytes);

// Calls visit(scalar, bytes) for each character of `text` in order; a byte that does not start
// a well-formed sequence is visited alone, as U+FFFD.
template <typename Visit>
void forEachScalar(std::string_view text, Visit&& visit)
{
    while (!text.empty()) {
        const auto sequence = decodeUtf8(text);
        const std::size_t length = sequence.length ? sequence.length : 1;
        visit(sequence.length ? sequence.scalar : U'\uFFFD', text.substr(0, length));
        text.remove_prefix(length);
    }
}

// How many bytes the first `count` Unicode scalars of valid UTF-8 `text` take (all of it when it
// has no more).
std::size_t scalarPrefixLength(std::string_view text, std::size_t count);

// `scalars` (Unicode scalars, no surrogates) as UTF-8.
std::string encodeUtf8(std::u32string_view scalars);

}  // namespace kestrio::runtime
