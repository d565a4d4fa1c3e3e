// The H.264 video packet must match the viewer's parser byte for byte.

#include "link/h264_packet.h"

#include <gtest/gtest.h>

#include <numeric>

namespace kestrio::test {
namespace {

using link::makeH264Packet;

std::vector<std::uint8_t> counting(std::size_t size, std::uint8_t first)
{
    std::vector<std::uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

TEST(H264Packet, KeyFramesCarryBothSetsBeforeTheDataOtherFramesEmptySets)
{
    using Bytes = std::vector<std::uint8_t>;
    struct Case {
        bool key;
        Bytes sps;
        Bytes pps;
        Bytes data;
        Bytes expected;
    };
    const Case cases[] = {
        {true, counting(3, 0x67), counting(2, 0x68), counting(3, 9), {2, 1, 0, 3, 0x67, 0x68, 0x69, 0, 2, 0x68, 0x69, 9, 10, 11}},
        {true, {}, {}, counting(3, 9), {2, 1, 0, 0, 0, 0, 9, 10, 11}},  // a key frame without readable sets
        {false, counting(9, 1), counting(9, 1), counting(2, 7), {2, 0, 0, 0, 0, 0, 7, 8}},
    };
    for (const Case& c : cases) {
        const auto packet = makeH264Packet(c.key, c.sps, c.pps, c.data);
        ASSERT_TRUE(packet);
        EXPECT_EQ(*packet, c.expected);
        EXPECT_EQ(packet->capacity(), packet->size());
    }
}

TEST(H264Packet, SetLengthsUseAllSixteenBitsAndNoMore)
{
    const std::vector<std::uint8_t> largest(65535, 0xAB);
    const std::vector<std::uint8_t> tooLarge(65536, 0xAB);
    const std::vector<std::uint8_t> small{1};

    const auto packet = makeH264Packet(true, largest, small, small);
    ASSERT_TRUE(packet);
    EXPECT_EQ((*packet)[2], 0xFF);
    EXPECT_EQ((*packet)[3], 0xFF);
    EXPECT_EQ(packet->size(), 6u + 65535 + 1 + 1);
    EXPECT_FALSE(makeH264Packet(true, tooLarge, small, small));
    EXPECT_FALSE(makeH264Packet(true, small, tooLarge, small));
    // Sets a non-key frame would not carry cannot make it fail.
    EXPECT_TRUE(makeH264Packet(false, tooLarge, tooLarge, small));
}

}  // namespace
}  // namespace kestrio::test
