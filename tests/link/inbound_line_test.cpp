#include "link/inbound_line.h"

#include "runtime/base64.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <variant>
#include <vector>

namespace kestrio::link {
namespace {

using namespace std::string_literals;
using namespace control;

testing::AssertionResult means(const std::string& line, const InboundLine& expected)
{
    const InboundLine actual = parseInboundLine(line);
    if (actual == expected)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << testing::PrintToString(line) << " gave " << describe(actual)
                                       << ", expected " << describe(expected);
}

InboundLine event(ViewerControlEvent e)
{
    return InboundLine{std::move(e)};
}

const InboundLine ignored = IgnoredLine{};

void expectIgnored(std::initializer_list<std::string> lines)
{
    for (const auto& line : lines)
        EXPECT_TRUE(means(line, ignored));
}

TEST(ParseNumber, ReadsWhatStrtodReadsInTheCLocale)
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<std::string, double>> numbers = {
        {"1", 1.0},      {"-0.5", -0.5},    {"+0.5", 0.5},         {".5", 0.5},        {"5.", 5.0},
        {"1E-2", 0.01},  {"-1.5e+2", -150}, {"0.30000000000000004", 0.30000000000000004},
        {"0x10", 16.0},  {"0x1p-1", 0.5},   {"-0X1.8P1", -3.0},    {"0x.8", 0.5},      {"inf", inf},
        {"-Infinity", -inf}, {"+INF", inf}, {"1e999", inf},  // overflow reads as infinity
        {"1e-400", 0.0},                                      // underflow reads as zero
        {"0." + std::string(100, '0') + "1e101", 1.0},       // longer than any small buffer
    };
    for (const auto& [token, value] : numbers) {
        const auto parsed = parseNumber(token);
        ASSERT_TRUE(parsed.has_value()) << token;
        EXPECT_EQ(*parsed, value) << token;
    }
    EXPECT_TRUE(std::signbit(*parseNumber("-0")));
    for (const std::string token : {"nan", "NaN", "-nan", "nan(123)", "NAN(abc_1)"}) {
        const auto parsed = parseNumber(token);
        ASSERT_TRUE(parsed.has_value()) << token;
        EXPECT_TRUE(std::isnan(*parsed)) << token;
    }

    const std::vector<std::string> notNumbers = {
        "", " 1", "\t1", "\n1", "\v1", "\f1", "\r1", "1 ", "1\t", "1\r", "abc", "1.2.3", "1e", "1e+", "0x", "0xg",
        "--1", "+-1", "1,5", ".", "-", "+", "infinit", "infinityy", "nan(", "nan(1", "nan(1 2)", "1\0"s, "\0"s + "1",
        "١", "1\xC2\xA0", "\xC2\xA0" "1", "0." + std::string(100, '0') + "1x",
    };
    for (const auto& token : notNumbers)
        EXPECT_EQ(parseNumber(token), std::nullopt) << testing::PrintToString(token);
}

TEST(InboundLine, Handshakes)
{
    const std::string name = runtime::base64Encode("김민수의 iPhone");
    const std::string identifier = runtime::base64Encode("3F2A-device");
    EXPECT_TRUE(means("HELLO 2 H264", Handshake{true, "iPhone", "iPhone"}));
    EXPECT_TRUE(means("HELLO H264", Handshake{true, "iPhone", "iPhone"}));
    EXPECT_TRUE(means("CAP H264", Handshake{true, "iPhone", "iPhone"}));
    expectIgnored({"HELLO", "CAP", "  HELLO   ", "hello 2 H264"});

    // The codec is matched exactly.
    EXPECT_TRUE(means("CAP h264", Handshake{false, "iPhone", "iPhone"}));
    EXPECT_TRUE(means("HELLO 2 H265", Handshake{false, "iPhone", "iPhone"}));
    EXPECT_TRUE(means("HELLO 2 H264\r", Handshake{false, "iPhone", "iPhone"}));

    // Name and identifier follow the codec; a missing or undecodable identifier is the name.
    EXPECT_TRUE(means("CAP H264 " + name, Handshake{true, "김민수의 iPhone", "김민수의 iPhone"}));
    EXPECT_TRUE(means("CAP H264 !!!", Handshake{true, "iPhone", "iPhone"}));
    EXPECT_TRUE(means("CAP H264 " + name + " " + identifier, Handshake{true, "김민수의 iPhone", "3F2A-device", true}));
    EXPECT_TRUE(means("CAP JPEG " + name + " " + identifier + " extra", Handshake{false, "김민수의 iPhone", "3F2A-device", true}));
    EXPECT_TRUE(means("HELLO x H264 " + name + " " + identifier, Handshake{true, "김민수의 iPhone", "3F2A-device", true}));
    EXPECT_TRUE(means("HELLO 2 JPEG " + name + " Zg", Handshake{false, "김민수의 iPhone", "김민수의 iPhone"}));
    EXPECT_TRUE(means("HELLO 2 JPEG Zg " + identifier, Handshake{false, "iPhone", "3F2A-device", true}));
    EXPECT_TRUE(means("CAP H264 " + runtime::base64Encode("\xFF") + " " + identifier, Handshake{true, "iPhone", "3F2A-device", true}));

    // With three tokens "HELLO" reads its codec from the third, even when the second looks
    // like one.
    EXPECT_TRUE(means("HELLO H264 " + name, Handshake{false, "iPhone", "iPhone"}));
}

TEST(InboundLine, HandshakeNamesAndIdentifiersAreMadeSafeToShowAndStore)
{
    const auto hello = [](const std::string& name, const std::string& identifier) {
        return "HELLO 2 JPEG " + runtime::base64Encode(name) + " " + runtime::base64Encode(identifier);
    };
    const auto syllables = [](int count) {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += "가";  // three bytes
        return text;
    };
    const struct {
        std::string name, identifier;
        Handshake expected;
    } cases[] = {
        // Line breaks and tabs become spaces; other controls, DEL, C1 and bidirectional
        // overrides go.
        {"Min\nji\t\x1b[2J\x7f\xc2\x85 iPhone", "id\r-1", {false, "Min ji [2J iPhone", "id -1", true}},
        {"\xe2\x80\xae" "enohPi\xe2\x80\xac\xe2\x81\xa6x\xe2\x81\xa9\xe2\x80\xa8", "a\xe2\x80\xab" "b", {false, "enohPix ", "ab", true}},
        // Nothing but white space left counts as not sent.
        {"\n\x01\xe2\x80\xae", "\t", {false, "iPhone", "iPhone", false}},
        {"Phone", "\x1b", {false, "Phone", "Phone", false}},
        // At most 128 bytes, never half a character.
        {std::string(200, 'n'), std::string(129, 'i'), {false, std::string(128, 'n'), std::string(128, 'i'), true}},
        {"n" + syllables(43), "i", {false, "n" + syllables(42), "i", true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected.name);
        EXPECT_TRUE(means(hello(c.name, c.identifier), c.expected));
    }
}

TEST(InboundLine, PingAndKeyFrame)
{
    EXPECT_TRUE(means("PING", Ping{"0"}));
    EXPECT_TRUE(means("PING 42     x", Ping{"42"}));
    EXPECT_TRUE(means("   PING   abc  ", Ping{"abc"}));
    EXPECT_TRUE(means("PING \xEC\x95\x88", Ping{"\xEC\x95\x88"}));
    EXPECT_TRUE(means("PING \xC2\xA0 x", Ping{"\xC2\xA0"}));  // only the space separates tokens
    // Sent with CR LF, the CR stays in the last token.
    EXPECT_TRUE(means("PING 7\r", Ping{"7\r"}));
    EXPECT_TRUE(means("KEYFRAME", KeyFrameRequest{}));
    EXPECT_TRUE(means("KEYFRAME 1 2 3", KeyFrameRequest{}));
    expectIgnored({"PING\r", "Ping 1", "KEYFRAME\r"});
}

TEST(InboundLine, CommandsWithoutArguments)
{
    EXPECT_TRUE(means("STOP 0.5 0.5", event(StopStreaming{})));
    EXPECT_TRUE(means("B x y z w", event(ClickCurrent{})));
    EXPECT_TRUE(means("RB 1", event(RightClickCurrent{})));
    EXPECT_TRUE(means("V UP", event(VolumeUp{})));
    EXPECT_TRUE(means("V DOWN", event(VolumeDown{})));
    EXPECT_TRUE(means("MODE mirror", event(control::SourceMode{link::SourceMode::mirror})));
    EXPECT_TRUE(means("MODE virtualDisplay", event(control::SourceMode{link::SourceMode::virtualDisplay})));
    expectIgnored({"B\r", "STOP\r", "V up", "V", "V UP DOWN", "MODE Mirror", "MODE virtualdisplay", "MODE",
                   "MODE mirror now"});
}

TEST(InboundLine, TextAndKeys)
{
    EXPECT_TRUE(means("T aGVsbG8gd29ybGQ=", event(Text{"hello world"})));
    EXPECT_TRUE(means("T " + runtime::base64Encode("한글 · text‑"), event(Text{"한글 · text‑"})));
    EXPECT_TRUE(means("T " + runtime::base64Encode("\n"), event(Text{"\n"})));
    // Longer texts are cut after 4,096 characters, never inside one.
    const std::string full(4096, 'a');
    EXPECT_TRUE(means("T " + runtime::base64Encode(full), event(Text{full})));
    EXPECT_TRUE(means("T " + runtime::base64Encode(full + "b"), event(Text{full})));
    EXPECT_TRUE(means("T " + runtime::base64Encode(std::string(4095, 'a') + "한글"), event(Text{std::string(4095, 'a') + "한"})));

    EXPECT_TRUE(means("K BACKSPACE", event(Key{ViewerKeyboardKey::backspace})));
    EXPECT_TRUE(means("K RETURN", event(Key{ViewerKeyboardKey::returnKey})));
    EXPECT_TRUE(means("K COMMAND_DOWN", event(Key{ViewerKeyboardKey::commandDown})));
    EXPECT_TRUE(means("K COMMAND_UP", event(Key{ViewerKeyboardKey::commandUp})));
    expectIgnored({"T " + runtime::base64Encode(""),  // empty text: the line is "T "
                   "T", "T hello", "T aGVsbG8", "T " + runtime::base64Encode("\xC0\xAF"),
                   "T aGVsbG8gd29ybGQ= aGVsbG8gd29ybGQ=", "T aGVsbG8gd29ybGQ=\r", "K command_down", "K ENTER", "K",
                   "K RETURN RETURN"});
}

TEST(InboundLine, PointerPositions)
{
    EXPECT_TRUE(means("M 0.5 0.25", event(Move{0.5, 0.25})));
    EXPECT_TRUE(means("C 0.25 0.75", event(Click{0.25, 0.75})));
    EXPECT_TRUE(means("D 0.1 0.2", event(MouseDown{0.1, 0.2})));
    EXPECT_TRUE(means("U 0.1 0.2", event(MouseUp{0.1, 0.2})));
    EXPECT_TRUE(means("R 1 0", event(RightClick{1, 0})));
    EXPECT_TRUE(means("M 0x1p-1 +1e0", event(Move{0.5, 1})));
    EXPECT_TRUE(means("  M   0.5    0.5  ", event(Move{0.5, 0.5})));
    // Not clamped; no more or fewer arguments.
    expectIgnored({"M 1.0001 0.5", "M 0.5 -0.0001", "M nan 0.5", "C 0.5 inf", "M 0.5", "M 0.5 0.5 0.5", "M 0.5 0.5\r",
                   "M\t0.5 0.5", "M 0,5 0.5", "m 0.5 0.5", "Q 0.5 0.5", "MC 0.5 0.5"});

    // A valid value is passed on exactly as sent.
    const auto negativeZero = parseInboundLine("M -0 1");
    ASSERT_TRUE(means("M -0 1", event(Move{0, 1})));
    EXPECT_TRUE(std::signbit(std::get<Move>(std::get<ViewerControlEvent>(negativeZero)).x));
}

TEST(InboundLine, RelativeMovesAndWheel)
{
    EXPECT_TRUE(means("N 500 -500", event(MoveRelative{500, -500})));
    EXPECT_TRUE(means("N 1e2 0x10", event(MoveRelative{100, 16})));
    EXPECT_TRUE(means("W -500 500", event(Wheel{-500, 500})));
    // An offset out of range is then tried as a position command: "N" is none, so nothing.
    expectIgnored({"N 500.5 0", "N 0 -500.0001", "N inf 0", "N 0 -inf", "N nan 0", "N 1e999 0", "N 3", "N 3 -2 1",
                   "N 3 x", "W 0 -500.01", "W -inf 0", "W 0 nan", "W 0", "W 0.5 0.5 1"});
}

TEST(InboundLine, Scroll)
{
    EXPECT_TRUE(means("S 0.5 0.5 0 -120", event(Scroll{0.5, 0.5, 0, -120})));
    EXPECT_TRUE(means("S 0 1 -500 500", event(Scroll{0, 1, -500, 500})));
    // Count 3 does not fall through to the pointer commands; each field is checked.
    expectIgnored({"S 0.5 0.5 0", "S 0.5 0.5", "S 0.5 0.5 0 -120 1", "S", "S -0.1 0.5 0 0", "S 1.1 0.5 0 0",
                   "S 0.5 -0.1 0 0", "S 0.5 1.1 0 0", "S nan 0.5 0 0", "S 0.5 nan 0 0", "S 0.5 0.5 inf 0",
                   "S 0.5 0.5 0 -inf", "S 0.5 0.5 nan 0", "S 0.5 0.5 500.5 0", "S 0.5 0.5 0 -501", "S 0.5 0.5 0 x"});
}

TEST(InboundLine, EverythingElseIsIgnored)
{
    expectIgnored({"", " ", "     ", "\r", "\t", "UNKNOWN", "WELCOME 2 H264 TWFj 1 1", "PONG 1", "stop",
                   "\xEC\x95\x88\xEB\x85\x95"});
}

TEST(InboundLine, TextFieldMustDecodeToNonEmptyUtf8)
{
    EXPECT_EQ(decodeTextField("6rmA66+87IiY7J2YIE1hYw=="), "김민수의 Mac");
    EXPECT_EQ(decodeTextField(runtime::base64Encode("\0"s)), "\0"s);  // NUL is a character
    // Empty, bad padding, bad character; then UTF-8 with a bad continuation, an overlong form,
    // a surrogate, a value past U+10FFFF, a stray continuation byte, and a sequence cut short.
    for (const std::string& token : {""s, "aGVsbG8"s, "aGVs!G8="s, runtime::base64Encode("\xC3\x28"),
             runtime::base64Encode("\xE0\x80\xAF"), runtime::base64Encode("\xED\xA0\x80"),
             runtime::base64Encode("\xF4\x90\x80\x80"), runtime::base64Encode("a\x80"),
             runtime::base64Encode("abc\xE2\x82")})
        EXPECT_EQ(decodeTextField(token), std::nullopt) << testing::PrintToString(token);
}

}  // namespace
}  // namespace kestrio::link
