#include "phones/name_ordering.h"

#include "locale_support.h"

#include <gtest/gtest.h>

namespace kestrio::phones {
namespace {

// "é" as one code point and as "e" with a combining acute accent.
const char* const composed = "Caf\xC3\xA9";
const char* const decomposed = "Cafe\xCC\x81";

TEST(NameOrderingTest, OrdersNamesByNumberValueIgnoringCaseButNotAccents)
{
    ScopedDefaultLocale locale("en_US");
    EXPECT_LT(localizedStandardCompare("iPhone 9", "iPhone 10"), 0);
    EXPECT_LT(localizedStandardCompare("iPhone 10", "iphone 11"), 0);
    EXPECT_GT(localizedStandardCompare("iPhone 100", "iPhone 99"), 0);
    EXPECT_EQ(localizedStandardCompare("iPhone", "IPHONE"), 0);
    EXPECT_EQ(localizedStandardCompare(composed, decomposed), 0);
    EXPECT_LT(localizedStandardCompare("Cafe", composed), 0);
    EXPECT_LT(localizedStandardCompare("apple", "Banana"), 0);
}

TEST(NameOrderingTest, FollowsTheDefaultLocale)
{
    {
        ScopedDefaultLocale locale("de_DE");
        EXPECT_LT(localizedStandardCompare("Öl", "Zebra"), 0);
    }
    {
        // Swedish puts Ö after Z.
        ScopedDefaultLocale locale("sv_SE");
        EXPECT_GT(localizedStandardCompare("Öl", "Zebra"), 0);
    }
    {
        // Korean puts Hangul before Latin letters.
        ScopedDefaultLocale locale("ko_KR");
        EXPECT_LT(localizedStandardCompare("지민의 iPhone", "Mina’s iPhone"), 0);
    }
    {
        ScopedDefaultLocale locale("en_US");
        EXPECT_GT(localizedStandardCompare("지민의 iPhone", "Mina’s iPhone"), 0);
    }
}

TEST(NameOrderingTest, IgnoresCaseInTheCLocaleToo)
{
    // What ICU makes of LANG=C: its own order there would put every capital first.
    ScopedDefaultLocale locale("en_US_POSIX");
    EXPECT_EQ(localizedStandardCompare("iPhone", "IPHONE"), 0);
    EXPECT_LT(localizedStandardCompare("apple", "Banana"), 0);
    EXPECT_TRUE(localizedCaseInsensitiveEqual("iPhone", "IPHONE"));
}

TEST(NameOrderingTest, EqualityIgnoresCaseAndFormButNotAccentsOrDigits)
{
    ScopedDefaultLocale locale("en_US");
    EXPECT_TRUE(localizedCaseInsensitiveEqual("Mina’s iPhone", "MINA’S IPHONE"));
    EXPECT_TRUE(localizedCaseInsensitiveEqual(composed, decomposed));
    EXPECT_FALSE(localizedCaseInsensitiveEqual("Cafe", composed));
    EXPECT_FALSE(localizedCaseInsensitiveEqual("iPhone", "iPhone "));
    EXPECT_FALSE(localizedCaseInsensitiveEqual("iPhone 01", "iPhone 1"));
    EXPECT_FALSE(localizedCaseInsensitiveEqual("I", "ı"));
    {
        // Turkish pairs the dotless i with I, and the dotted capital with i.
        ScopedDefaultLocale turkish("tr_TR");
        EXPECT_TRUE(localizedCaseInsensitiveEqual("I", "ı"));
        EXPECT_TRUE(localizedCaseInsensitiveEqual("İ", "i"));
        EXPECT_FALSE(localizedCaseInsensitiveEqual("I", "i"));
    }
}

TEST(NameOrderingTest, SortsByNameKeepingTiesInTheirOrder)
{
    ScopedDefaultLocale locale("en_US");
    std::vector<PairedIPhone> phones{
        {"a", "iPhone 10", "", "", std::nullopt},
        {"b", "iphone", "", "", std::nullopt},
        {"c", "iPhone 9", "", "", std::nullopt},
        {"d", "IPHONE", "", "", std::nullopt},
        {"e", "iPhone", "", "", std::nullopt},
    };
    sortByName(phones);
    std::string ids;
    for (const auto& phone : phones)
        ids += phone.id;
    EXPECT_EQ(ids, "bdeca");
}

}  // namespace
}  // namespace kestrio::phones
