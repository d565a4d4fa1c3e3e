#pragma once

#include "link/viewer_control_event.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestrio::link {

// The most bytes of a viewer's name or identifier that are kept.
inline constexpr std::size_t maxIdentityBytes = 128;

// "HELLO" or "CAP": the viewer announces itself and the codec it wants. Its name and identifier
// hold no control or bidirectional-override characters and at most maxIdentityBytes bytes.
struct Handshake {
    bool h264 = false;
    std::string name;        // "iPhone" when the viewer sent none
    std::string identifier;  // the name when the viewer sent none
    bool identifierGiven = false;  // the viewer sent an identifier of its own
    bool operator==(const Handshake&) const = default;
};

// "PING": the token is echoed back in the answer, exactly as received.
struct Ping {
    std::string token;  // "0" when the line had none
    bool operator==(const Ping&) const = default;
};

// "KEYFRAME": the viewer wants the next encoded frame to be a key frame.
struct KeyFrameRequest {
    bool operator==(const KeyFrameRequest&) const = default;
};

// Empty, unknown, or with arguments that do not fit: dropped without a reply.
struct IgnoredLine {
    bool operator==(const IgnoredLine&) const = default;
};

using InboundLine = std::variant<IgnoredLine, Handshake, Ping, KeyFrameRequest, ViewerControlEvent>;

// Splits at the space character only; runs of spaces separate like one, and leading or trailing
// spaces yield no empty tokens. Tabs, CR and other white space belong to the tokens.
std::vector<std::string_view> tokenize(std::string_view line);

// A number as C's strtod reads it in the "C" locale: sign, digits, fraction, exponent, the
// words for infinity and not-a-number, and the hexadecimal form. The whole token must be a
// number, without leading white space. Overflow reads as infinity, as strtod gives it.
std::optional<double> parseNumber(std::string_view token);

// A text field of the viewer protocol: Base64 of UTF-8. Yields the text only when it decodes,
// is valid UTF-8 and is not empty; a field failing any of these counts as absent.
std::optional<std::string> decodeTextField(std::string_view token);

// What one line from the viewer means. `line` has no line feed and is valid UTF-8.
InboundLine parseInboundLine(std::string_view line);

// Short readable form for test failure messages, e.g. "ping(\"42\")", "event(move(0.5, 1))".
std::string describe(const InboundLine& line);

}  // namespace kestrio::link
