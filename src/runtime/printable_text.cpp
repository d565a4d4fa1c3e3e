#include "runtime/printable_text.h"
#include "runtime/utf8.h"

#include <cstdint>

namespace kestrio::runtime {
namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

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
    forEachScalar(text, [&printable](char32_t scalar, std::string_view bytes) {
        // A malformed byte, visited alone, is written as the U+FFFD it stands for.
        if (isLineOrTab(scalar))
            printable += ' ';
        else if (bytes.size() == 1 && static_cast<unsigned char>(bytes[0]) >= 0x80)
            printable += replacementCharacter;
        else if (!isRemoved(scalar))
            printable.append(bytes);
    });
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
