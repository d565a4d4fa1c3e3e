#include "viewer/h264_packet.h"

#include "viewer/test_media_support.h"

#include <gtest/gtest.h>

namespace kestrio::viewer {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes filled(std::size_t size, std::uint8_t value)
{
    return Bytes(size, value);
}

Bytes toBytes(std::span<const std::uint8_t> span)
{
    return Bytes(span.begin(), span.end());
}

TEST(H264PacketTest, KeyFrameWithParameterSetsRebuildsAnnexBWithSetsInFront)
{
    const Bytes sps = {0x67, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const Bytes pps = {0x68, 0xCE, 0x3C, 0x80};
    const Bytes idr = filled(600, 0x65);
    const Bytes sei = filled(392, 0x06);
    const Bytes payload = test::makeVideoPacket(true, sps, pps, {sei, idr});
    ASSERT_EQ(payload.size(), 1021u);  // 6 + 11 + 4 + 1000 bytes of length-prefixed units

    const auto packet = parseH264Packet(payload);
    ASSERT_TRUE(packet);
    EXPECT_TRUE(packet->isKeyFrame);
    EXPECT_EQ(toBytes(packet->sps), sps);
    EXPECT_EQ(toBytes(packet->pps), pps);
    ASSERT_EQ(packet->nalUnits.size(), 2u);
    EXPECT_EQ(toBytes(packet->nalUnits[1]), idr);

    const Bytes annexB = toAnnexB(*packet);
    Bytes expected = {0, 0, 0, 1};
    expected.insert(expected.end(), sps.begin(), sps.end());
    for (const Bytes* unit : {&pps, &sei, &idr}) {
        expected.insert(expected.end(), {0, 0, 0, 1});
        expected.insert(expected.end(), unit->begin(), unit->end());
    }
    EXPECT_EQ(annexB, expected);
}

TEST(H264PacketTest, NonKeyFrameHasNoParameterSets)
{
    const Bytes slice = filled(496, 0x41);
    const Bytes payload = test::makeVideoPacket(false, {}, {}, {slice});
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 6), (Bytes{2, 0, 0, 0, 0, 0}));
    const auto packet = parseH264Packet(payload);
    ASSERT_TRUE(packet);
    EXPECT_FALSE(packet->isKeyFrame);
    EXPECT_EQ(toAnnexB(*packet).size(), 500u);
}

TEST(H264PacketTest, MalformedPacketsAreRejected)
{
    const Bytes good = test::makeVideoPacket(true, {0x67, 1}, {0x68, 2}, {{0x65, 3, 4}});
    ASSERT_TRUE(parseH264Packet(good));

    Bytes wrongKind = good;
    wrongKind[0] = 0x03;
    EXPECT_FALSE(parseH264Packet(wrongKind));

    // Every cut short of the whole packet leaves some length pointing past the end.
    for (std::size_t size = 0; size < good.size(); ++size) {
        if (size == 8 + 2)  // just after the PPS: a valid packet without NAL units
            continue;
        EXPECT_FALSE(parseH264Packet(std::span(good.data(), size))) << "cut at " << size;
    }
    EXPECT_TRUE(parseH264Packet(std::span(good.data(), 10)));

    Bytes emptyUnit = good;
    emptyUnit.insert(emptyUnit.end(), {0, 0, 0, 0});
    EXPECT_FALSE(parseH264Packet(emptyUnit));

    Bytes hugeSps = {2, 1, 0xFF, 0xFF, 0x67};
    EXPECT_FALSE(parseH264Packet(hugeSps));
}

}  // namespace
}  // namespace kestrio::viewer
