#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::link {

// Messages from the host to the viewer are a 4-byte big-endian payload length followed by the
// payload. The payload's first byte tells its kind; a JPEG frame has no type byte and starts
// with its own 0xFF marker.
inline constexpr std::uint8_t controlMessageType = 0x03;
inline constexpr std::uint8_t videoPacketType = 0x02;

// The protocol version the host announces in its welcome.
inline constexpr std::string_view protocolVersion = "2";

std::array<std::uint8_t, 4> lengthPrefix(std::uint32_t payloadLength);

// controlMessageType followed by the UTF-8 text, without terminator.
std::vector<std::uint8_t> makeControlPayload(std::string_view text);

// Length prefix and payload in one buffer. The payload must be shorter than 4 GiB.
std::vector<std::uint8_t> frameMessage(std::span<const std::uint8_t> payload);

// The answer to a handshake: "WELCOME 2 <H264|JPEG> <Base64 of the host name> <version> <build>".
// An empty host name is sent as "Mac", an empty version or build as "0".
std::string makeWelcomeText(bool h264, std::string_view hostName, std::string_view version, std::string_view build);

}  // namespace kestrio::link
