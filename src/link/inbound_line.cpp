#include "link/inbound_line.h"

#include "runtime/base64.h"
#include "runtime/utf8.h"
#include "runtime/printable_text.h"
#include "runtime/white_space.h"

#include <array>
#include <charconv>
#include <cmath>
#include <locale.h>
#include <stdlib.h>
#include <type_traits>

namespace kestrio::link {

namespace {

// The first tokens of a line and how many there are in all. No command reads past its 5th
// token, so lines are parsed without allocating.
struct Tokens {
    static constexpr std::size_t kept = 5;
    std::array<std::string_view, kept> first{};
    std::size_t count = 0;

    // Token `position`, counted from 1 as the protocol counts them; empty past the end.
    std::string_view at(std::size_t position) const
    {
        return position >= 1 && position <= kept ? first[position - 1] : std::string_view{};
    }
};

template <typename Visit>
void forEachToken(std::string_view line, Visit&& visit)
{
    std::size_t i = 0;
    const std::size_t size = line.size();
    while (true) {
        while (i < size && line[i] == ' ')
            ++i;
        if (i == size)
            return;
        const std::size_t start = i;
        const std::size_t space = line.find(' ', i);
        i = space == std::string_view::npos ? size : space;
        visit(line.substr(start, i - start));
    }
}

Tokens scanTokens(std::string_view line)
{
    Tokens tokens;
    forEachToken(line, [&tokens](std::string_view token) {
        if (tokens.count < Tokens::kept)
            tokens.first[tokens.count] = token;
        ++tokens.count;
    });
    return tokens;
}

bool isCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

locale_t cLocale()
{
    // Independent of whatever setlocale the rest of the process did.
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return locale;
}

std::optional<double> parseWithStrtod(std::string_view token)
{
    // strtod needs a terminated string; an embedded NUL then ends the number early and the
    // whole-token test below rejects it.
    std::array<char, 64> small;
    std::string large;
    char* text;
    if (token.size() < small.size()) {
        token.copy(small.data(), token.size());
        small[token.size()] = '\0';
        text = small.data();
    } else {
        large.assign(token);
        text = large.data();
    }
    char* end = nullptr;
    const double value = strtod_l(text, &end, cLocale());
    if (end != text + token.size())
        return std::nullopt;
    return value;
}

bool isPosition(double value)
{
    return value >= 0.0 && value <= 1.0;  // false for NaN
}

bool isDelta(double value)
{
    return std::isfinite(value) && std::fabs(value) <= 500.0;
}

std::optional<double> parsePosition(std::string_view token)
{
    auto value = parseNumber(token);
    if (!value || !isPosition(*value))
        return std::nullopt;
    return value;
}

std::optional<double> parseDelta(std::string_view token)
{
    auto value = parseNumber(token);
    if (!value || !isDelta(*value))
        return std::nullopt;
    return value;
}

InboundLine parseHandshake(const Tokens& tokens)
{
    // "HELLO" with three or more tokens carries a field before the codec that is not read.
    const bool helloWithPrefix = tokens.at(1) == "HELLO" && tokens.count >= 3;
    const std::size_t codecPosition = helloWithPrefix ? 3 : 2;
    if (tokens.count < codecPosition)
        return IgnoredLine{};

    // The name is shown, printed and stored, the identifier stored: both come without what
    // could disturb a display, and cut to a bounded size. Nothing left counts as absent.
    const auto identityField = [&](std::size_t position) -> std::optional<std::string> {
        auto text = tokens.count >= position ? decodeTextField(tokens.at(position)) : std::nullopt;
        if (!text)
            return std::nullopt;
        std::string shown(runtime::cutAtCharacter(runtime::printableText(*text), maxIdentityBytes));
        if (runtime::isBlank(shown))
            return std::nullopt;
        return shown;
    };
    Handshake handshake;
    handshake.h264 = tokens.at(codecPosition) == "H264";
    auto name = identityField(codecPosition + 1);
    handshake.name = name ? std::move(*name) : std::string("iPhone");
    auto identifier = identityField(codecPosition + 2);
    handshake.identifierGiven = identifier.has_value();
    handshake.identifier = identifier ? std::move(*identifier) : handshake.name;
    return handshake;
}

InboundLine parseScroll(const Tokens& tokens)
{
    if (tokens.count != 5)
        return IgnoredLine{};
    const auto x = parseNumber(tokens.at(2));
    const auto y = parseNumber(tokens.at(3));
    const auto deltaX = parseNumber(tokens.at(4));
    const auto deltaY = parseNumber(tokens.at(5));
    if (!x || !y || !deltaX || !deltaY || !isPosition(*x) || !isPosition(*y) || !isDelta(*deltaX)
        || !isDelta(*deltaY))
        return IgnoredLine{};
    return ViewerControlEvent{control::Scroll{*x, *y, *deltaX, *deltaY}};
}

std::optional<ViewerControlEvent> parsePointerCommand(std::string_view command, double x, double y)
{
    if (command == "M")
        return control::Move{x, y};
    if (command == "C")
        return control::Click{x, y};
    if (command == "D")
        return control::MouseDown{x, y};
    if (command == "U")
        return control::MouseUp{x, y};
    if (command == "R")
        return control::RightClick{x, y};
    return std::nullopt;
}

}  // namespace

std::vector<std::string_view> tokenize(std::string_view line)
{
    std::vector<std::string_view> tokens;
    forEachToken(line, [&tokens](std::string_view token) { tokens.push_back(token); });
    return tokens;
}

std::optional<double> parseNumber(std::string_view token)
{
    if (token.empty() || isCSpace(token.front()))
        return std::nullopt;
    // from_chars is much faster than strtod and, for every token it reads entirely without
    // range error, gives the same correctly rounded value. The rest ('+', hexadecimal, values
    // out of range, non-numbers) goes to strtod itself.
    double value = 0.0;
    const auto result = std::from_chars(token.data(), token.data() + token.size(), value);
    if (result.ec == std::errc{} && result.ptr == token.data() + token.size())
        return value;
    return parseWithStrtod(token);
}

InboundLine parseInboundLine(std::string_view line)
{
    const Tokens tokens = scanTokens(line);
    if (tokens.count == 0)
        return IgnoredLine{};
    const std::string_view command = tokens.at(1);

    // The order of these tests is part of the protocol.
    if (command == "HELLO" || command == "CAP")
        return parseHandshake(tokens);
    if (command == "PING")
        return Ping{tokens.count >= 2 ? std::string(tokens.at(2)) : std::string("0")};
    if (command == "STOP")
        return ViewerControlEvent{control::StopStreaming{}};
    if (command == "MODE" && tokens.count == 2) {
        if (auto mode = sourceModeFromRawValue(tokens.at(2)))
            return ViewerControlEvent{control::SourceMode{*mode}};
        return IgnoredLine{};
    }
    if (command == "KEYFRAME")
        return KeyFrameRequest{};
    if (command == "S")
        return parseScroll(tokens);
    if (command == "V" && tokens.count == 2) {
        if (tokens.at(2) == "UP")
            return ViewerControlEvent{control::VolumeUp{}};
        if (tokens.at(2) == "DOWN")
            return ViewerControlEvent{control::VolumeDown{}};
        return IgnoredLine{};
    }
    if (command == "N" && tokens.count == 3) {
        const auto dx = parseDelta(tokens.at(2));
        const auto dy = parseDelta(tokens.at(3));
        if (dx && dy)
            return ViewerControlEvent{control::MoveRelative{*dx, *dy}};
    }
    if (command == "W" && tokens.count == 3) {
        const auto deltaX = parseDelta(tokens.at(2));
        const auto deltaY = parseDelta(tokens.at(3));
        if (deltaX && deltaY)
            return ViewerControlEvent{control::Wheel{*deltaX, *deltaY}};
    }
    if (command == "B")
        return ViewerControlEvent{control::ClickCurrent{}};
    if (command == "RB")
        return ViewerControlEvent{control::RightClickCurrent{}};
    if (command == "T" && tokens.count == 2) {
        if (auto text = decodeTextField(tokens.at(2))) {
            // More than a phone keyboard sends at once: typed only up to the limit, so that one
            // line cannot keep the host typing for minutes.
            text->resize(runtime::scalarPrefixLength(*text, control::Text::maxTextCharacters));
            return ViewerControlEvent{control::Text{std::move(*text)}};
        }
    }
    if (command == "K" && tokens.count == 2) {
        if (auto key = viewerKeyboardKeyFromRawValue(tokens.at(2)))
            return ViewerControlEvent{control::Key{*key}};
    }
    if (tokens.count == 3) {
        const auto x = parsePosition(tokens.at(2));
        const auto y = parsePosition(tokens.at(3));
        if (x && y) {
            if (auto event = parsePointerCommand(command, *x, *y))
                return std::move(*event);
        }
    }
    return IgnoredLine{};
}

std::string describe(const InboundLine& line)
{
    return std::visit(
        [](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, IgnoredLine>)
                return "ignored";
            else if constexpr (std::is_same_v<T, Handshake>)
                return std::string("handshake(") + (value.h264 ? "H264" : "JPEG") + ", \"" + value.name + "\", \""
                    + value.identifier + "\")";
            else if constexpr (std::is_same_v<T, Ping>)
                return "ping(\"" + value.token + "\")";
            else if constexpr (std::is_same_v<T, KeyFrameRequest>)
                return "keyFrameRequest";
            else {
                static_assert(std::is_same_v<T, ViewerControlEvent>, "every kind of line needs a description");
                return "event(" + describe(value) + ")";
            }
        },
        line);
}

std::optional<std::string> decodeTextField(std::string_view token)
{
    auto decoded = runtime::base64Decode(token);
    if (!decoded || decoded->empty() || !runtime::isValidUtf8(*decoded))
        return std::nullopt;
    return decoded;
}

}  // namespace kestrio::link
