#include "runtime/base64.h"
#include "runtime/utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrio::runtime {
namespace {

using namespace std::string_literals;

TEST(Base64, EncodesAndDecodesTheStandardVectors)
{
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xFB\xFF", "+/8="},
        {"\0\0\0"s, "AAAA"},
        {"김민수의 iPhone", "6rmA66+87IiY7J2YIGlQaG9uZQ=="},
    };
    for (const auto& [bytes, text] : vectors) {
        SCOPED_TRACE(text);
        EXPECT_EQ(base64Encode(bytes), text);
        EXPECT_EQ(base64Decode(text), bytes);
    }
}

TEST(Base64, EveryByteValueAndLengthRoundTrips)
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    for (std::size_t length = 0; length <= bytes.size(); length += 1) {
        const std::string part = bytes.substr(bytes.size() - length);
        const std::string text = base64Encode(part);
        ASSERT_EQ(text.size() % 4, 0u);
        ASSERT_EQ(base64Decode(text), part) << text;
    }
}

TEST(Base64, RejectsAnythingButTheCanonicalPaddedForm)
{
    const std::vector<std::string> invalid = {
        "Zg",            // padding missing
        "Zg=",           // padding short
        "Zg===",         // padding too long
        "Z===",          // three padding characters
        "====",
        "Zm9vY",         // length not a multiple of four
        "Zg==Zg==",      // padding in the middle
        "Zm=v",
        "=Zm9",
        "Zm9v ",         // white space
        " Zm9v",
        "Zm 9",
        "Zm9v\n",
        "Zm9v\r\nYmFy",
        "Zm9-",          // URL-safe alphabet
        "Zm9_",
        "Zm9*",
        "Zm9\x80",
        "Zm9\0"s,
        "Zh==",          // unused bits not zero: would decode like "Zg=="
        "Zm9=",          // likewise "Zm8="
    };
    for (const auto& text : invalid)
        EXPECT_EQ(base64Decode(text), std::nullopt) << '"' << text << '"';
}

// Encodes `codePoint` in `length` bytes whether or not that is the shortest form, so the
// validator can be shown overlong and out-of-range sequences.
std::string encodeUnchecked(std::uint32_t codePoint, int length)
{
    std::string out;
    if (length == 1) {
        out.push_back(static_cast<char>(codePoint));
        return out;
    }
    static constexpr unsigned char leads[] = {0, 0, 0xC0, 0xE0, 0xF0};
    out.push_back(static_cast<char>(leads[length] | (codePoint >> (6 * (length - 1)))));
    for (int i = length - 2; i >= 0; --i)
        out.push_back(static_cast<char>(0x80 | ((codePoint >> (6 * i)) & 0x3F)));
    return out;
}

int shortestLength(std::uint32_t codePoint)
{
    return codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
}

TEST(Utf8, AcceptsEveryScalarValueInShortestFormOnly)
{
    for (std::uint32_t codePoint = 0; codePoint < 0x200000; ++codePoint) {
        const int shortest = shortestLength(codePoint);
        const bool scalar = codePoint <= 0x10FFFF && (codePoint < 0xD800 || codePoint > 0xDFFF);
        ASSERT_EQ(isValidUtf8(encodeUnchecked(codePoint, shortest)), scalar) << std::hex << codePoint;
        for (int longer = std::max(shortest + 1, 2); longer <= 4; ++longer)
            ASSERT_FALSE(isValidUtf8(encodeUnchecked(codePoint, longer))) << std::hex << codePoint << " in " << longer;
    }
}

TEST(Utf8, RejectsMalformedSequences)
{
    const std::vector<std::string> invalid = {
        "\x80",                      // stray continuation
        "a\xBF" "b",
        "\xC3",                      // cut short at the end
        "\xE2\x82",
        "\xF0\x9F\x98",
        "\xC3\x28",                  // continuation missing
        "\xE2\x28\xA1",
        "\xE2\x82\x28",
        "\xF0\x90\x28\xBC",
        "\xC0\x80",                  // overlong NUL
        "\xE0\x80\xAF",              // overlong '/'
        "\xED\xA0\x80",              // high surrogate
        "\xED\xBF\xBF",              // low surrogate
        "\xED\xA0\xBD\xED\xB8\x80",  // surrogate pair as in CESU-8
        "\xF4\x90\x80\x80",          // U+110000
        "\xF5\x80\x80\x80",
        "\xF8\x88\x80\x80\x80",      // five-byte form
        "\xFE",
        "\xFF",
        "abcdefgh\x80",              // just past an all-ASCII block of eight
        "abcdefghijklmno\xC3",
        "abcdefg\xC3",
        "\xC3\xA9" "abcdefgh\xE2\x82",
    };
    for (const auto& bytes : invalid)
        EXPECT_FALSE(isValidUtf8(bytes)) << testing::PrintToString(bytes);

    const std::vector<std::string> valid = {
        "",
        "\0"s,
        "PING 42",
        "김민수의 iPhone · ‑",
        "abcdefg\xC3\xA9" "abcdefgh",
        "\xF4\x8F\xBF\xBF",          // U+10FFFF
        "\xEF\xBF\xBF",              // U+FFFF
        "\xED\x9F\xBF\xEE\x80\x80",  // around the surrogates
        "\xF0\x9F\x98\x80 emoji",
    };
    for (const auto& bytes : valid)
        EXPECT_TRUE(isValidUtf8(bytes)) << testing::PrintToString(bytes);
}

}  // namespace
}  // namespace kestrio::runtime
