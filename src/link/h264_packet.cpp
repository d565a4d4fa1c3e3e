#include "link/h264_packet.h"

#include "link/message_framer.h"

#include <limits>

namespace kestrio::link {

namespace {

void appendLength(std::vector<std::uint8_t>& packet, std::size_t length)
{
    packet.push_back(static_cast<std::uint8_t>(length >> 8));
    packet.push_back(static_cast<std::uint8_t>(length));
}

}  // namespace

std::optional<std::vector<std::uint8_t>> makeH264Packet(bool keyFrame, std::span<const std::uint8_t> sps,
                                                        std::span<const std::uint8_t> pps,
                                                        std::span<const std::uint8_t> frameData)
{
    if (!keyFrame) {
        sps = {};
        pps = {};
    }
    constexpr std::size_t maximumSetSize = std::numeric_limits<std::uint16_t>::max();
    if (sps.size() > maximumSetSize || pps.size() > maximumSetSize)
        return std::nullopt;

    std::vector<std::uint8_t> packet;
    packet.reserve(6 + sps.size() + pps.size() + frameData.size());
    packet.push_back(link::videoPacketType);
    packet.push_back(keyFrame ? 1 : 0);
    appendLength(packet, sps.size());
    packet.insert(packet.end(), sps.begin(), sps.end());
    appendLength(packet, pps.size());
    packet.insert(packet.end(), pps.begin(), pps.end());
    packet.insert(packet.end(), frameData.begin(), frameData.end());
    return packet;
}

}  // namespace kestrio::link
