#include "phones/name_ordering.h"

#include "locale_support.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrio::phones {
namespace {

// "é" as one code point and as "e" with a combining acute accent.
const char* const composed = "Caf\xC3\xA9";
const char* const decomposed = "Cafe\xCC\x81";
constexpr int unchecked = 2;

TEST(NameOrderingTest, OrdersByNumberValueIgnoringCaseAndFormButNotAccentsInTheDefaultLocale)
{
    struct Case {
        const char* locale;
        std::string a;
        std::string b;
        int order;   // of localizedStandardCompare(a, b): -1, 0, 1, or unchecked
        bool equal;  // localizedCaseInsensitiveEqual(a, b)
    };
    const Case cases[] = {
        {"en_US", "iPhone 9", "iPhone 10", -1, false},
        {"en_US", "iPhone 10", "iphone 11", -1, false},
        {"en_US", "iPhone 100", "iPhone 99", 1, false},
        {"en_US", "Mina’s iPhone", "MINA’S IPHONE", 0, true},
        {"en_US", composed, decomposed, 0, true},
        {"en_US", "Cafe", composed, -1, false},
        {"en_US", "apple", "Banana", -1, false},
        {"en_US", "iPhone", "iPhone ", unchecked, false},
        {"en_US", "iPhone 01", "iPhone 1", unchecked, false},
        {"en_US", "I", "ı", unchecked, false},
        {"en_US", "지민의 iPhone", "Mina’s iPhone", 1, false},
        // Korean puts Hangul before Latin letters, Swedish Ö after Z.
        {"ko_KR", "지민의 iPhone", "Mina’s iPhone", -1, false},
        {"de_DE", "Öl", "Zebra", -1, false},
        {"sv_SE", "Öl", "Zebra", 1, false},
        // What ICU makes of LANG=C: its own order there would put every capital first.
        {"en_US_POSIX", "iPhone", "IPHONE", 0, true},
        {"en_US_POSIX", "apple", "Banana", -1, false},
        // Turkish pairs the dotless i with I, and the dotted capital with i.
        {"tr_TR", "I", "ı", 0, true},
        {"tr_TR", "İ", "i", 0, true},
        {"tr_TR", "I", "i", unchecked, false},
    };
    const auto sign = [](int value) { return (value > 0) - (value < 0); };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.locale) + ": " + c.a + " / " + c.b);
        ScopedDefaultLocale locale(c.locale);
        if (c.order != unchecked) {
            EXPECT_EQ(sign(localizedStandardCompare(c.a, c.b)), c.order);
        }
        EXPECT_EQ(localizedCaseInsensitiveEqual(c.a, c.b), c.equal);
    }
}

TEST(NameOrderingTest, SortsByNameKeepingTiesInTheirOrder)
{
    ScopedDefaultLocale locale("en_US");
    std::vector<PairedIPhone> phones{{"a", "iPhone 10", "", "", std::nullopt}, {"b", "iphone", "", "", std::nullopt},
                                     {"c", "iPhone 9", "", "", std::nullopt},  {"d", "IPHONE", "", "", std::nullopt},
                                     {"e", "iPhone", "", "", std::nullopt}};
    sortByName(phones);
    std::string ids;
    for (const auto& phone : phones)
        ids += phone.id;
    EXPECT_EQ(ids, "bdeca");
}

}  // namespace
}  // namespace kestrio::phones
