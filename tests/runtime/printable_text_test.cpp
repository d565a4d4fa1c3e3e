#include "runtime/printable_text.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrio::runtime {
namespace {

using namespace std::string_literals;

TEST(PrintableTextTest, RemovesControlsAndDirectionMarks)
{
    struct Case {
        std::string text;
        std::string printable;
    };
    const Case cases[] = {
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(printableText(c.text), c.printable);
        EXPECT_EQ(printableText(c.printable), c.printable);
    }
}

}  // namespace
}  // namespace kestrio::runtime
