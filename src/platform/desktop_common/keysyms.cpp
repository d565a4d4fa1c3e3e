#include "platform/desktop_common/keysyms.h"

#include "runtime/utf8.h"

namespace kestrio::platform::desktop_common {

Keysym keysymForCodePoint(char32_t codePoint)
{
    switch (codePoint) {
    case U'\n':
    case U'\r':
        return returnKeysym;
    case U'\t':
        return 0xff09;  // Tab
    case U'\b':
        return 0xff08;  // BackSpace
    default:
        break;
    }
    // Latin-1 keysyms are their code points; the rest of Unicode is 0x1000000 + code point.
    if ((codePoint >= 0x20 && codePoint <= 0x7e) || (codePoint >= 0xa0 && codePoint <= 0xff))
        return codePoint;
    if (codePoint < 0xa0)
        return noSymbol;
    return 0x1000000u | codePoint;
}

Keysym keysymForKey(model::Key key)
{
    const auto index = static_cast<int>(key);
    if (key >= model::Key::a && key <= model::Key::z)
        return static_cast<Keysym>('a' + (index - static_cast<int>(model::Key::a)));
    if (key >= model::Key::digit0 && key <= model::Key::digit9)
        return static_cast<Keysym>('0' + (index - static_cast<int>(model::Key::digit0)));
    switch (key) {
    case model::Key::space:
        return ' ';
    case model::Key::enter:
        return returnKeysym;
    case model::Key::backspace:
        return 0xff08;
    default:
        return noSymbol;
    }
}

void forEachTypedCharacter(std::string_view text, const std::function<void(char32_t, Keysym)>& visit)
{
    bool afterCarriageReturn = false;
    runtime::forEachScalar(text, [&](char32_t scalar, std::string_view) {
        const bool lineFeedAfterReturn = afterCarriageReturn && scalar == U'\n';
        afterCarriageReturn = scalar == U'\r';
        if (lineFeedAfterReturn)
            return;
        if (const Keysym keysym = keysymForCodePoint(scalar); keysym != noSymbol)
            visit(scalar, keysym);
    });
}

std::vector<Keysym> keysymsForText(std::string_view text)
{
    std::vector<Keysym> keysyms;
    keysyms.reserve(text.size());
    forEachTypedCharacter(text, [&](char32_t, Keysym keysym) { keysyms.push_back(keysym); });
    return keysyms;
}

}  // namespace kestrio::platform::desktop_common
