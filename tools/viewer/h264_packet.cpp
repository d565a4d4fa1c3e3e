#include "viewer/h264_packet.h"

#include "link/message_framer.h"

#include <array>

namespace kestrio::viewer {

namespace {

constexpr std::array<std::uint8_t, 4> startCode{0, 0, 0, 1};

class Cursor {
public:
    explicit Cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t remaining() const { return bytes_.size() - offset_; }

    std::optional<std::uint32_t> readBigEndian(std::size_t width)
    {
        if (remaining() < width)
            return std::nullopt;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < width; ++i)
            value = value << 8 | bytes_[offset_ + i];
        offset_ += width;
        return value;
    }

    std::optional<std::span<const std::uint8_t>> take(std::size_t size)
    {
        if (remaining() < size)
            return std::nullopt;
        const auto part = bytes_.subspan(offset_, size);
        offset_ += size;
        return part;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
};

void appendUnit(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> unit)
{
    out.insert(out.end(), startCode.begin(), startCode.end());
    out.insert(out.end(), unit.begin(), unit.end());
}

}  // namespace

std::optional<H264Packet> parseH264Packet(std::span<const std::uint8_t> payload)
{
    Cursor cursor(payload);
    const auto kind = cursor.readBigEndian(1);
    const auto flag = cursor.readBigEndian(1);
    if (!kind || *kind != link::videoPacketType || !flag)
        return std::nullopt;

    H264Packet packet;
    packet.isKeyFrame = *flag == 1;
    for (auto* set : {&packet.sps, &packet.pps}) {
        const auto length = cursor.readBigEndian(2);
        if (!length)
            return std::nullopt;
        const auto bytes = cursor.take(*length);
        if (!bytes)
            return std::nullopt;
        *set = *bytes;
    }
    while (cursor.remaining() > 0) {
        const auto length = cursor.readBigEndian(4);
        if (!length || *length == 0)
            return std::nullopt;
        const auto unit = cursor.take(*length);
        if (!unit)
            return std::nullopt;
        packet.nalUnits.push_back(*unit);
    }
    return packet;
}

std::vector<std::uint8_t> toAnnexB(const H264Packet& packet)
{
    std::size_t size = 0;
    for (const auto& unit : packet.nalUnits)
        size += startCode.size() + unit.size();
    size += packet.sps.size() + packet.pps.size() + 2 * startCode.size();

    std::vector<std::uint8_t> out;
    out.reserve(size);
    if (!packet.sps.empty())
        appendUnit(out, packet.sps);
    if (!packet.pps.empty())
        appendUnit(out, packet.pps);
    for (const auto& unit : packet.nalUnits)
        appendUnit(out, unit);
    return out;
}

}  // namespace kestrio::viewer
