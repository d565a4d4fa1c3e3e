// The H.264 video packet must match the viewer's parser byte for byte.

#include "link/h264_packet.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(H264Packet, KeyFramesCarryBothSetsBeforeTheDataOtherFramesEmptySetsAndLengthsUseSixteenBits)
{
    const Bytes largest(65535, 0xAB), tooLarge(65536, 0xAB), one{1};
    const std::tuple<bool, Bytes, Bytes, Bytes, std::optional<Bytes>> cases[] = {
        {true, {0x67, 0x68, 0x69}, {0x68, 0x69}, {9, 10, 11}, Bytes{2, 1, 0, 3, 0x67, 0x68, 0x69, 0, 2, 0x68, 0x69, 9, 10, 11}},
        {true, {}, {}, {9, 10, 11}, Bytes{2, 1, 0, 0, 0, 0, 9, 10, 11}},  // a key frame without readable sets
        {false, {1, 2, 3}, {1, 2}, {7, 8}, Bytes{2, 0, 0, 0, 0, 0, 7, 8}},
        {false, tooLarge, tooLarge, one, Bytes{2, 0, 0, 0, 0, 0, 1}},  // sets it does not carry cannot make it fail
        {true, tooLarge, one, one, std::nullopt},
        {true, one, tooLarge, one, std::nullopt},
    };
    for (const auto& [key, sps, pps, data, expected] : cases) {
        const auto packet = link::makeH264Packet(key, sps, pps, data);
        EXPECT_EQ(packet, expected);
        EXPECT_TRUE(!packet || packet->capacity() == packet->size());
    }
    const auto packet = link::makeH264Packet(true, largest, one, one);
    ASSERT_EQ(packet.value_or(Bytes()).size(), 6u + 65535 + 1 + 1);
    EXPECT_EQ(Bytes(packet->begin() + 2, packet->begin() + 4), (Bytes{0xFF, 0xFF}));
}

}  // namespace
}  // namespace kestrio::test
