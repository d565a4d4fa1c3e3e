#include "link/inbound_line.h"

#include "runtime/base64.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kestrio::link {
namespace {

using namespace std::string_literals;
using namespace control;
using runtime::base64Encode;

InboundLine event(ViewerControlEvent e)
{
    return InboundLine{std::move(e)};
}

void expectMeaning(const std::string& line, const InboundLine& expected)
{
    const InboundLine actual = parseInboundLine(line);
    EXPECT_TRUE(actual == expected) << testing::PrintToString(line) << " gave " << describe(actual) << ", not " << describe(expected);
}

TEST(ParseNumber, ReadsWhatStrtodReadsInTheCLocaleAndNothingElse)
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::pair<std::string, double> numbers[] = {{"-0.5", -0.5}, {"+.5", 0.5}, {"5.", 5.0}, {"-1.5e+2", -150}, {"0x1p-1", 0.5},
        {"-0X1.8P1", -3}, {"-Infinity", -inf}, {"1e999", inf}, {"1e-400", 0.0}, {"0." + std::string(100, '0') + "1e101", 1.0}};
    for (const auto& [token, value] : numbers)
        EXPECT_EQ(parseNumber(token), value) << token;
    for (const std::string token : {"NaN", "-nan", "NAN(abc_1)"})
        EXPECT_TRUE(std::isnan(parseNumber(token).value_or(0))) << token;
    for (const std::string& token : {""s, " 1"s, "\t1"s, "1 "s, "1\r"s, "1.2.3"s, "1e+"s, "0x"s, "0xg"s, "+-1"s, "1,5"s, "."s,
             "infinityy"s, "nan("s, "nan(1 2)"s, "1\0"s, "١"s, "1\xC2\xA0"s, "0." + std::string(100, '0') + "1x"})
        EXPECT_EQ(parseNumber(token), std::nullopt) << testing::PrintToString(token);
}

TEST(InboundLine, WhatEachLineMeans)
{
    const std::string name = base64Encode("김민수의 iPhone");
    const std::string id = base64Encode("3F2A-device");
    const std::string as(4095, 'a');
    const std::pair<std::string, InboundLine> cases[] = {
        {"HELLO 2 H264", Handshake{true, "iPhone", "iPhone"}}, {"CAP h264", Handshake{false, "iPhone", "iPhone"}},
        {"HELLO 2 H264\r", Handshake{false, "iPhone", "iPhone"}},
        {"HELLO H264 " + name, Handshake{false, "iPhone", "iPhone"}},  // three tokens: the codec is the third
        {"CAP H264 " + name, Handshake{true, "김민수의 iPhone", "김민수의 iPhone"}},
        {"CAP JPEG " + name + " " + id + " extra", Handshake{false, "김민수의 iPhone", "3F2A-device", true}},
        {"HELLO 2 JPEG Zg " + id, Handshake{false, "iPhone", "3F2A-device", true}},
        {"HELLO 2 JPEG " + name + " Zg", Handshake{false, "김민수의 iPhone", "김민수의 iPhone"}},
        {"PING", Ping{"0"}}, {"   PING   abc  x", Ping{"abc"}}, {"PING \xC2\xA0 x", Ping{"\xC2\xA0"}}, {"PING 7\r", Ping{"7\r"}},
        {"KEYFRAME 1 2", KeyFrameRequest{}}, {"STOP 0.5", event(StopStreaming{})}, {"B x", event(ClickCurrent{})},
        {"RB 1", event(RightClickCurrent{})}, {"V UP", event(VolumeUp{})}, {"V DOWN", event(VolumeDown{})},
        {"MODE mirror", event(control::SourceMode{link::SourceMode::mirror})},
        {"MODE virtualDisplay", event(control::SourceMode{link::SourceMode::virtualDisplay})},
        {"T " + base64Encode("한글 · text‑\n"), event(Text{"한글 · text‑\n"})},
        {"T " + base64Encode("\0"s), event(Text{"\0"s})}, {"T " + base64Encode(as + "ab"), event(Text{as + "a"})}, {"T " + base64Encode(as + "한글"), event(Text{as + "한"})},
        {"K BACKSPACE", event(Key{ViewerKeyboardKey::backspace})}, {"K RETURN", event(Key{ViewerKeyboardKey::returnKey})},
        {"K COMMAND_DOWN", event(Key{ViewerKeyboardKey::commandDown})}, {"K COMMAND_UP", event(Key{ViewerKeyboardKey::commandUp})},
        {"M 0x1p-1 +1e0", event(Move{0.5, 1})}, {"C 0 0.75", event(Click{0, 0.75})}, {"  D   0.1 0.2 ", event(MouseDown{0.1, 0.2})},
        {"U 0.1 0.2", event(MouseUp{0.1, 0.2})}, {"R 1 0", event(RightClick{1, 0})}, {"N 500 -500", event(MoveRelative{500, -500})},
        {"W -500 0x10", event(Wheel{-500, 16})}, {"S 0 1 -500 500", event(Scroll{0, 1, -500, 500})},
    };
    for (const auto& [line, expected] : cases)
        expectMeaning(line, expected);

    const std::string ignored[] = {"", "\r", "UNKNOWN", "PONG 1", "stop", "HELLO", "CAP", "hello 2 H264", "PING\r", "KEYFRAME\r",
        "B\r", "V up", "V UP DOWN", "MODE Mirror", "MODE mirror now", "T " + base64Encode(""), "T hello", "T aGVsbG8",
        "T " + base64Encode("\xC0\xAF"), "T aGk= aGk=", "K command_down", "K ENTER", "K RETURN RETURN", "M 1.0001 0.5",
        "M 0.5 -0.0001", "M nan 0.5", "C 0.5 inf", "M 0.5", "M 0.5 0.5 0.5", "M 0.5 0.5\r", "M\t0.5 0.5", "Q 0.5 0.5",
        "N 500.5 0", "N 0 -500.0001", "N nan 0", "N 3", "W 0 -500.01", "W -inf 0", "S 0.5 0.5 0", "S 0.5 0.5 0 1 1",
        "S 1.1 0.5 0 0", "S 0.5 -0.1 0 0", "S 0.5 nan 0 0", "S 0.5 0.5 inf 0", "S 0.5 0.5 0 -501"};
    for (const auto& line : ignored)
        expectMeaning(line, IgnoredLine{});

    // Names and identifiers are shown and stored: line breaks and tabs become spaces, other
    // controls, DEL, C1 and bidirectional overrides go, and at most 128 bytes stay, never half a character.
    std::string syllables;
    for (int i = 0; i < 43; ++i)
        syllables += "가";
    const std::pair<std::pair<std::string, std::string>, Handshake> identities[] = {
        {{"Min\nji\t\x1b[2J\x7f\xc2\x85 iPhone", "id\r-1"}, {false, "Min ji [2J iPhone", "id -1", true}},
        {{"\xe2\x80\xae" "enohPi\xe2\x80\xac\xe2\x81\xa6x\xe2\x81\xa9\xe2\x80\xa8", "a\xe2\x80\xab" "b"}, {false, "enohPix ", "ab", true}},
        {{"\n\x01\xe2\x80\xae", "\x1b"}, {false, "iPhone", "iPhone", false}},
        {{std::string(200, 'n'), std::string(129, 'i')}, {false, std::string(128, 'n'), std::string(128, 'i'), true}},
        {{"n" + syllables, "i"}, {false, "n" + syllables.substr(0, 126), "i", true}},
    };
    for (const auto& [sent, expected] : identities)
        expectMeaning("HELLO 2 JPEG " + base64Encode(sent.first) + " " + base64Encode(sent.second), expected);
}

}  // namespace
}  // namespace kestrio::link
