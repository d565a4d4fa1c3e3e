#include "link/message_framer.h"

#include "runtime/base64.h"

#include <algorithm>

namespace kestrio::link {

std::array<std::uint8_t, 4> lengthPrefix(std::uint32_t payloadLength)
{
    return {
        static_cast<std::uint8_t>(payloadLength >> 24),
        static_cast<std::uint8_t>(payloadLength >> 16),
        static_cast<std::uint8_t>(payloadLength >> 8),
        static_cast<std::uint8_t>(payloadLength),
    };
}

std::vector<std::uint8_t> makeControlPayload(std::string_view text)
{
    std::vector<std::uint8_t> payload(1 + text.size());
    payload[0] = controlMessageType;
    std::copy(text.begin(), text.end(), payload.begin() + 1);
    return payload;
}

std::vector<std::uint8_t> frameMessage(std::span<const std::uint8_t> payload)
{
    const auto prefix = lengthPrefix(static_cast<std::uint32_t>(payload.size()));
    std::vector<std::uint8_t> message(prefix.size() + payload.size());
    std::copy(prefix.begin(), prefix.end(), message.begin());
    std::copy(payload.begin(), payload.end(), message.begin() + prefix.size());
    return message;
}

std::string makeWelcomeText(bool h264, std::string_view hostName, std::string_view version, std::string_view build)
{
    std::string text = "WELCOME ";
    text.append(protocolVersion);
    text.append(h264 ? " H264 " : " JPEG ");
    text.append(runtime::base64Encode(hostName.empty() ? std::string_view("Mac") : hostName));
    text.push_back(' ');
    text.append(version.empty() ? std::string_view("0") : version);
    text.push_back(' ');
    text.append(build.empty() ? std::string_view("0") : build);
    return text;
}

}  // namespace kestrio::link
