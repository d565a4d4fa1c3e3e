#include "viewer/h264_packet.h"

#include "viewer/test_media_support.h"

#include <gtest/gtest.h>

namespace kestrio::viewer {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(H264PacketTest, KeyFrameRebuildsAnnexBWithTheParameterSetsInFront)
{
    const Bytes sps = {0x67, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const Bytes pps = {0x68, 0xCE, 0x3C, 0x80};
    const Bytes idr(600, 0x65);
    const Bytes sei(392, 0x06);
    const Bytes payload = test::makeVideoPacket(true, sps, pps, {sei, idr});
    ASSERT_EQ(payload.size(), 1021u);  // 6 + 11 + 4 + 1000 bytes of length-prefixed units

    const auto packet = parseH264Packet(payload);
    ASSERT_TRUE(packet);
    EXPECT_TRUE(packet->isKeyFrame);
    Bytes expected;
    for (const Bytes* unit : {&sps, &pps, &sei, &idr}) {
        expected.insert(expected.end(), {0, 0, 0, 1});
        expected.insert(expected.end(), unit->begin(), unit->end());
    }
    EXPECT_EQ(toAnnexB(*packet), expected);

    // Without parameter sets, as every other frame comes.
    const Bytes delta = test::makeVideoPacket(false, {}, {}, {Bytes(496, 0x41)});
    EXPECT_EQ(Bytes(delta.begin(), delta.begin() + 6), (Bytes{2, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(parseH264Packet(delta)->isKeyFrame);
    EXPECT_EQ(toAnnexB(*parseH264Packet(delta)).size(), 500u);
}

TEST(H264PacketTest, MalformedPacketsAreRejected)
{
    const Bytes good = test::makeVideoPacket(true, {0x67, 1}, {0x68, 2}, {{0x65, 3, 4}});
    ASSERT_TRUE(parseH264Packet(good));
    Bytes wrongKind = good;
    wrongKind[0] = 0x03;
    EXPECT_FALSE(parseH264Packet(wrongKind));
    // Every cut short of the whole packet leaves some length pointing past the end, but for the
    // one just after the PPS: a valid packet without NAL units.
    for (std::size_t size = 0; size < good.size(); ++size)
        EXPECT_EQ(parseH264Packet(std::span(good.data(), size)).has_value(), size == 8 + 2) << "cut at " << size;
    Bytes emptyUnit = good;
    emptyUnit.insert(emptyUnit.end(), {0, 0, 0, 0});
    EXPECT_FALSE(parseH264Packet(emptyUnit));
    EXPECT_FALSE(parseH264Packet(Bytes{2, 1, 0xFF, 0xFF, 0x67}));
}

}  // namespace
}  // namespace kestrio::viewer
