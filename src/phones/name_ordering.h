#pragma once

#include "phones/paired_iphone.h"

#include <string_view>
#include <vector>

namespace kestrio::phones {

// The order people expect of names in a list, for ICU's default locale (the neutral root order
// in the C locale): letters in the locale's order, case ignored, accents not, and runs of digits
// by their value ("iPhone 9" before "iPhone 10"). Below zero when `a` comes first, zero when
// they tie, above zero otherwise. Texts are UTF-8; a byte that is not is taken as U+FFFD.
int localizedStandardCompare(std::string_view a, std::string_view b);

// The same text but for case, as the default locale sees it: "iPhone" and "IPHONE" are equal,
// "Résumé" and "Resume" are not, and a name typed in composed or decomposed form is one name.
// In Turkish, "ı" is the lower case of "I"; elsewhere it is a letter of its own. Digits count as
// written: "01" is not "1".
bool localizedCaseInsensitiveEqual(std::string_view a, std::string_view b);

// Orders by name with localizedStandardCompare; phones whose names tie keep their order.
void sortByName(std::vector<PairedIPhone>& phones);

}  // namespace kestrio::phones
