#pragma once

#include <string_view>

namespace kestrio::runtime {

// Strict UTF-8: rejects overlong forms, surrogates (U+D800..U+DFFF), code points above
// U+10FFFF, stray continuation bytes and sequences cut short. NUL bytes are valid.
bool isValidUtf8(std::string_view bytes);

}  // namespace kestrio::runtime
