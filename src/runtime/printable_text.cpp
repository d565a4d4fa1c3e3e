#include "runtime/printable_text.h"

#include <cstdint>

namespace kestrio::runtime {
namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// The length of the well-formed UTF-8 sequence at the start of `text` and its code point;
// length 0 when the first byte does not start one.
struct Decoded {
    std::size_t length = 0;
    std::uint32_t codePoint = 0;
};

Decoded decode(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return {1, lead};
    std::size_t length;
    std::uint32_t codePoint;
    // The second byte's range also excludes overlong forms, surrogates and values past U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return {};
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return {};
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return {};
        codePoint = codePoint << 6 | (byte(i) & 0x3F);
    }
    return {length, codePoint};
}

bool isLineOrTab(std::uint32_t codePoint)
{
    return (codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x2028 || codePoint == 0x2029;
}

bool isRemoved(std::uint32_t codePoint)
{
    return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) || (codePoint >= 0x202A && codePoint <= 0x202E)
        || (codePoint >= 0x2066 && codePoint <= 0x2069);
}

}  // namespace

std::string printableText(std::string_view text)
{
    std::string printable;
    printable.reserve(text.size());
    while (!text.empty()) {
        const auto decoded = decode(text);
        if (decoded.length == 0) {
            printable += replacementCharacter;
            text.remove_prefix(1);
            continue;
        }
        if (isLineOrTab(decoded.codePoint))
            printable += ' ';
        else if (!isRemoved(decoded.codePoint))
            printable.append(text.substr(0, decoded.length));
        text.remove_prefix(decoded.length);
    }
    return printable;
}

std::string_view cutAtCharacter(std::string_view text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    std::size_t end = maxBytes;
    // Back off over continuation bytes to the start of the character that would be cut.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

}  // namespace kestrio::runtime
