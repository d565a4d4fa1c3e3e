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

TEST(H264Packet, KeyFrameCarriesBothParameterSetsBeforeTheData)
{
    const auto sps = counting(11, 0x67);
    const auto pps = counting(4, 0x68);
    const auto data = counting(1000, 0);

    const auto packet = makeH264Packet(true, sps, pps, data);
    ASSERT_TRUE(packet);
    ASSERT_EQ(packet->size(), 1021u);
    EXPECT_EQ(packet->capacity(), packet->size());

    std::vector<std::uint8_t> expected{2, 1, 0, 11};
    expected.insert(expected.end(), sps.begin(), sps.end());
    expected.insert(expected.end(), {0, 4});
    expected.insert(expected.end(), pps.begin(), pps.end());
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(*packet, expected);
}

TEST(H264Packet, OtherFramesCarryEmptySetsEvenWhenGivenSome)
{
    const auto data = counting(500, 7);
    for (const auto& sets : {std::vector<std::uint8_t>{}, counting(9, 1)}) {
        const auto packet = makeH264Packet(false, sets, sets, data);
        ASSERT_TRUE(packet);
        ASSERT_EQ(packet->size(), 506u);
        EXPECT_EQ(std::vector<std::uint8_t>(packet->begin(), packet->begin() + 6), (std::vector<std::uint8_t>{2, 0, 0, 0, 0, 0}));
        EXPECT_TRUE(std::equal(data.begin(), data.end(), packet->begin() + 6));
    }
}

TEST(H264Packet, KeyFrameWithoutReadableSetsIsStillAKeyFrame)
{
    const auto packet = makeH264Packet(true, {}, {}, counting(3, 9));
    ASSERT_TRUE(packet);
    EXPECT_EQ(*packet, (std::vector<std::uint8_t>{2, 1, 0, 0, 0, 0, 9, 10, 11}));
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
