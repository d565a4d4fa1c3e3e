#include "phones/unicode_text.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>

#include <algorithm>
#include <climits>

namespace kestrio::phones {

std::string lowerCased(std::string_view text)
{
    // Keys and most texts a tool prints are ASCII, where ICU would give the same answer slower.
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        std::string lowered(text);
        for (char& c : lowered) {
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        }
        return lowered;
    }
    if (text.size() > INT32_MAX)
        return std::string(text);
    std::string lowered;
    icu::StringByteSink<std::string> sink(&lowered, static_cast<int32_t>(text.size()));
    UErrorCode status = U_ZERO_ERROR;
    // The empty locale is the root locale: no language's special casing rules.
    icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), sink, nullptr,
                              status);
    if (U_FAILURE(status))
        return std::string(text);
    return lowered;
}

}  // namespace kestrio::phones
