#include "runtime/white_space.h"

#include <array>

namespace kestrio::runtime {
namespace {

constexpr std::string_view asciiWhiteSpace = " \t\n\r\v\f";
constexpr std::array<std::string_view, 19> wideWhiteSpace = {
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
    "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000",
};

}  // namespace

std::string_view trimmedWhiteSpace(std::string_view text)
{
    bool changed = true;
    while (changed && !text.empty()) {
        changed = false;
        const auto first = text.find_first_not_of(asciiWhiteSpace);
        text = first == std::string_view::npos ? std::string_view{} : text.substr(first);
        const auto last = text.find_last_not_of(asciiWhiteSpace);
        text = last == std::string_view::npos ? std::string_view{} : text.substr(0, last + 1);
        for (const auto space : wideWhiteSpace) {
            if (text.starts_with(space)) {
                text.remove_prefix(space.size());
                changed = true;
            }
            if (text.ends_with(space)) {
                text.remove_suffix(space.size());
                changed = true;
            }
        }
    }
    return text;
}

}  // namespace kestrio::runtime
