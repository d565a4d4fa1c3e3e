#include "runtime/base64.h"
#include "runtime/printable_text.h"
#include "runtime/utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrio::runtime {
namespace {

using namespace std::string_literals;

TEST(Base64, EncodesDecodesAndRejectsAllButTheCanonicalPaddedForm)
{
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFF", "+/8="},
        {"\0\0\0"s, "AAAA"}, {"김민수의 iPhone", "6rmA66+87IiY7J2YIGlQaG9uZQ=="},
    };
    for (const auto& [bytes, text] : vectors) {
        SCOPED_TRACE(text);
        EXPECT_EQ(base64Encode(bytes), text);
        EXPECT_EQ(base64Decode(text), bytes);
    }
    // Every byte value at every position of a group.
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    for (std::size_t skip = 0; skip < 3; ++skip)
        ASSERT_EQ(base64Decode(base64Encode(bytes.substr(skip))), bytes.substr(skip));

    const std::vector<std::string> invalid = {
        "Zg", "Zg=", "Zg===", "Z===", "====", "Zm9vY", "Zg==Zg==", "Zm=v", "=Zm9",  // padding, length
        "Zm9v ", " Zm9v", "Zm 9", "Zm9v\n", "Zm9v\r\nYmFy",                          // white space
        "Zm9-", "Zm9_", "Zm9*", "Zm9\x80", "Zm9\0"s,                                 // outside the alphabet
        "Zh==", "Zm9=",                                                              // unused bits not zero
    };
    for (const auto& text : invalid)
        EXPECT_EQ(base64Decode(text), std::nullopt) << '"' << text << '"';
}

// Encodes `codePoint` in `length` bytes whether or not that is the shortest form.
std::string encodeUnchecked(std::uint32_t codePoint, int length)
{
    if (length == 1)
        return std::string(1, static_cast<char>(codePoint));
    static constexpr unsigned char leads[] = {0, 0, 0xC0, 0xE0, 0xF0};
    std::string out(1, static_cast<char>(leads[length] | (codePoint >> (6 * (length - 1)))));
    for (int i = length - 2; i >= 0; --i)
        out.push_back(static_cast<char>(0x80 | ((codePoint >> (6 * i)) & 0x3F)));
    return out;
}

TEST(Utf8, AcceptsEveryScalarValueInShortestFormOnly)
{
    for (std::uint32_t codePoint = 0; codePoint < 0x200000; ++codePoint) {
        const int shortest = codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
        const bool scalar = codePoint <= 0x10FFFF && (codePoint < 0xD800 || codePoint > 0xDFFF);
        ASSERT_EQ(isValidUtf8(encodeUnchecked(codePoint, shortest)), scalar) << std::hex << codePoint;
        for (int longer = std::max(shortest + 1, 2); longer <= 4; ++longer)
            ASSERT_FALSE(isValidUtf8(encodeUnchecked(codePoint, longer))) << std::hex << codePoint << " in " << longer;
    }
}

TEST(Utf8, JudgesSequencesCutShortOrBrokenAroundTheAsciiFastPath)
{
    const std::pair<std::string, bool> cases[] = {
        {"\x80", false}, {"a\xBF" "b", false}, {"\xC3", false}, {"\xE2\x82", false}, {"\xF0\x9F\x98", false},
        {"\xC3\x28", false}, {"\xE2\x28\xA1", false}, {"\xE2\x82\x28", false}, {"\xF0\x90\x28\xBC", false},
        {"\xED\xA0\xBD\xED\xB8\x80", false}, {"\xF8\x88\x80\x80\x80", false}, {"\xFE", false}, {"\xFF", false},
        // Just past, or inside, a block of eight ASCII bytes.
        {"abcdefgh\x80", false}, {"abcdefghijklmno\xC3", false}, {"abcdefg\xC3", false},
        {"\xC3\xA9" "abcdefgh\xE2\x82", false}, {"abcdefg\xC3\xA9" "abcdefgh", true},
        {"", true}, {"\0"s, true}, {"김민수의 iPhone · ‑", true}, {"\xF0\x9F\x98\x80 emoji", true},
    };
    for (const auto& [bytes, valid] : cases)
        EXPECT_EQ(isValidUtf8(bytes), valid) << testing::PrintToString(bytes);
}

TEST(PrintableTextTest, RemovesControlsAndDirectionMarks)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Kestrio 1.3 — “안정” 🎉", "Kestrio 1.3 — “안정” 🎉"},
        // Line breaks and tabs cannot start a line of their own.
        {"1.0\nupdate available: 9.9 https://evil", "1.0 update available: 9.9 https://evil"},
        {"a\tb\r\nc\vd\fe", "a b  c d e"},
        {"a\xE2\x80\xA8" "b\xE2\x80\xA9" "c", "a b c"},
        // Escape sequences lose their escape; what is left is plain text.
        {"\x1b[2J\x1b]0;title\x07ok\b\x7f", "[2J]0;titleok"},
        {"nul\0inside"s, "nulinside"},
        // C1 controls, encoded as UTF-8 and as lone bytes.
        {"a\xC2\x9B" "31mb\xC2\x85" "c", "a31mbc"},
        {"a\x9B" "31m", "a\xEF\xBF\xBD" "31m"},
        // Overrides and isolates go; the other format characters stay.
        {"abc\xE2\x80\xAE" "fdp.exe\xE2\x80\xAC \xE2\x81\xA6x\xE2\x81\xA9 \xE2\x80\x8Bz\xE2\x80\x8F",
         "abcfdp.exe x \xE2\x80\x8Bz\xE2\x80\x8F"},
        // Ill-formed UTF-8: overlong, surrogate, past U+10FFFF, cut short.
        {"\xC0\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\xE2\x80", "\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD|"
                                                          "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"", ""},
    };
    for (const auto& [text, printable] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(printableText(text), printable);
        EXPECT_EQ(printableText(printable), printable);
    }
}

}  // namespace
}  // namespace kestrio::runtime
