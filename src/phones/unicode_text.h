#pragma once

#include <string>
#include <string_view>

namespace kestrio::phones {

// Full Unicode lower-casing, the same in every locale: a Turkish or Lithuanian default locale
// must not turn a tool's "IPHONE" into something that no longer reads as "iphone". Bytes that
// are not UTF-8 are kept as they are.
std::string lowerCased(std::string_view text);

}  // namespace kestrio::phones
