#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrio::runtime {

// Standard Base64 (RFC 4648 alphabet) with "=" padding, no line breaks.
std::string base64Encode(std::string_view bytes);

// Accepts only the canonical form base64Encode produces: a length that is a multiple of four,
// padding only at the end, no white space, and zero bits in the unused low bits of the last
// group. Anything else yields nullopt, so a decoded field always re-encodes to the text that
// was received. The empty text decodes to no bytes.
std::optional<std::string> base64Decode(std::string_view text);


}  // namespace kestrio::runtime
