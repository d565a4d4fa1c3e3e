#pragma once

// What the fuzzers share: a check that traps, so that a broken invariant is a finding, and a
// reference for the text every outside value must be reduced to before it is printed.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrio::fuzz {

inline void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// The fuzzer's input as text.
inline std::string_view asText(const std::uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

// Calls `each` with every code point of `text` for as long as it returns true. False when `text`
// is not well-formed UTF-8 or `each` said no. Written from the encoding's tables, apart from the
// code under test.
template <typename Each>
bool everyCodePoint(std::string_view text, Each&& each)
{
    static constexpr std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0, length; i < text.size(); i += length) {
        const auto lead = static_cast<unsigned char>(text[i]);
        length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || text.size() - i < length)
            return false;
        std::uint32_t codePoint = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            codePoint = codePoint << 6 | (next & 0x3F);
        }
        if (codePoint < shortest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF) ||
            !each(codePoint))
            return false;
    }
    return true;
}

inline bool isWellFormedUtf8(std::string_view text)
{
    return everyCodePoint(text, [](std::uint32_t) { return true; });
}

// Well-formed UTF-8 holding no C0 control, DEL, C1 control, line or paragraph separator, or
// bidirectional embedding, override or isolate mark.
inline bool isPrintableUtf8(std::string_view text)
{
    return everyCodePoint(text, [](std::uint32_t codePoint) {
        return !(codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) || codePoint == 0x2028 || codePoint == 0x2029
                 || (codePoint >= 0x202A && codePoint <= 0x202E) || (codePoint >= 0x2066 && codePoint <= 0x2069));
    });
}

}  // namespace kestrio::fuzz
