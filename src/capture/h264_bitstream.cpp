#include "capture/h264_bitstream.h"

#include <cstddef>

namespace kestrio::capture {

namespace {

constexpr std::uint8_t nalTypeSps = 7;
constexpr std::uint8_t nalTypePps = 8;

// Position of the next 00 00 01 at or after `from`, or the size when there is none.
std::size_t findStartCode(std::span<const std::uint8_t> bytes, std::size_t from)
{
    for (std::size_t i = from; i + 2 < bytes.size(); ++i) {
        if (bytes[i + 2] > 1) {
            i += 2;  // none of the three bytes ending here can start a start code
            continue;
        }
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1)
            return i;
    }
    return bytes.size();
}

void appendLengthPrefixed(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> nal)
{
    const auto size = static_cast<std::uint32_t>(nal.size());
    out.push_back(static_cast<std::uint8_t>(size >> 24));
    out.push_back(static_cast<std::uint8_t>(size >> 16));
    out.push_back(static_cast<std::uint8_t>(size >> 8));
    out.push_back(static_cast<std::uint8_t>(size));
    out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace

EncodedVideoFrame accessUnitFromAnnexB(std::span<const std::uint8_t> annexB, bool isKeyFrame)
{
    EncodedVideoFrame frame;
    frame.isKeyFrame = isKeyFrame;
    frame.data.reserve(annexB.size());

    std::size_t start = findStartCode(annexB, 0);
    while (start < annexB.size()) {
        const std::size_t payload = start + 3;
        const std::size_t next = findStartCode(annexB, payload);
        std::size_t end = next;
        // The zero in front of a 4-byte start code, and trailing zero bytes in general, belong
        // to no NAL unit (a NAL unit never ends in a zero byte).
        while (end > payload && annexB[end - 1] == 0)
            --end;
        const auto nal = annexB.subspan(payload, end - payload);
        if (!nal.empty()) {
            const std::uint8_t type = nal[0] & 0x1F;
            if (type == nalTypeSps && frame.sps.empty())
                frame.sps.assign(nal.begin(), nal.end());
            else if (type == nalTypePps && frame.pps.empty())
                frame.pps.assign(nal.begin(), nal.end());
            else
                appendLengthPrefixed(frame.data, nal);
        }
        start = next;
    }
    return frame;
}

}  // namespace kestrio::capture
