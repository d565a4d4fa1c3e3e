#include "capture/h264_bitstream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kestrio::capture {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes lengthPrefixed(std::initializer_list<Bytes> nals)
{
    Bytes out;
    for (const Bytes& nal : nals) {
        const auto size = static_cast<std::uint32_t>(nal.size());
        out.insert(out.end(), {std::uint8_t(size >> 24), std::uint8_t(size >> 16), std::uint8_t(size >> 8), std::uint8_t(size)});
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

TEST(AccessUnitFromAnnexBTest, LiftsParameterSetsAndLengthPrefixesTheRest)
{
    const Bytes sps{0x67, 0x64, 0x00, 0x1F, 0xAC};
    const Bytes pps{0x68, 0xEE, 0x3C, 0x80};
    const Bytes sei{0x06, 0x05, 0x11, 0x22};
    const Bytes idr{0x65, 0x88, 0x84, 0x00, 0x00, 0x03, 0x01, 0x7F};  // emulation prevention inside
    Bytes stream{0, 0, 0, 1};
    stream.insert(stream.end(), sps.begin(), sps.end());
    stream.insert(stream.end(), {0, 0, 1});
    stream.insert(stream.end(), pps.begin(), pps.end());
    stream.insert(stream.end(), {0, 0, 0, 1});
    stream.insert(stream.end(), sei.begin(), sei.end());
    stream.insert(stream.end(), {0, 0, 1});
    stream.insert(stream.end(), idr.begin(), idr.end());

    const auto frame = accessUnitFromAnnexB(stream, true);
    EXPECT_TRUE(frame.isKeyFrame);
    EXPECT_EQ(frame.sps, sps);
    EXPECT_EQ(frame.pps, pps);
    EXPECT_EQ(frame.data, lengthPrefixed({sei, idr}));
}

TEST(AccessUnitFromAnnexBTest, KeepsOnlyTheFirstParameterSetsAndPassesLaterOnesThrough)
{
    const Bytes sps1{0x67, 0x01}, sps2{0x67, 0x02}, pps1{0x68, 0x01}, pps2{0x68, 0x02}, slice{0x41, 0x9A};
    Bytes stream;
    for (const Bytes* nal : {&sps1, &pps1, &sps2, &pps2, &slice}) {
        stream.insert(stream.end(), {0, 0, 0, 1});
        stream.insert(stream.end(), nal->begin(), nal->end());
    }
    const auto frame = accessUnitFromAnnexB(stream, false);
    EXPECT_FALSE(frame.isKeyFrame);
    EXPECT_EQ(frame.sps, sps1);
    EXPECT_EQ(frame.pps, pps1);
    EXPECT_EQ(frame.data, lengthPrefixed({sps2, pps2, slice}));
}

TEST(AccessUnitFromAnnexBTest, NonKeyFrameWithoutSetsCarriesNone)
{
    const Bytes slice{0x41, 0x9A, 0x00, 0x00, 0x03, 0x00, 0x10};
    Bytes stream{0, 0, 1};
    stream.insert(stream.end(), slice.begin(), slice.end());
    const auto frame = accessUnitFromAnnexB(stream, false);
    EXPECT_TRUE(frame.sps.empty());
    EXPECT_TRUE(frame.pps.empty());
    EXPECT_EQ(frame.data, lengthPrefixed({slice}));
}

TEST(AccessUnitFromAnnexBTest, SkipsEmptyNalUnitsAndTrailingZeros)
{
    const Bytes slice{0x41, 0x9A, 0x55};
    Bytes stream{0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 1};  // two empty NAL units
    stream.insert(stream.end(), slice.begin(), slice.end());
    stream.insert(stream.end(), {0, 0, 0, 0, 1, 0, 0});  // zero stuffing, an empty unit, trailing zeros
    const auto frame = accessUnitFromAnnexB(stream, false);
    EXPECT_EQ(frame.data, lengthPrefixed({slice}));
}

TEST(AccessUnitFromAnnexBTest, IgnoresBytesBeforeTheFirstStartCodeAndEmptyInput)
{
    const Bytes slice{0x41, 0x01};
    Bytes stream{0x12, 0x34, 0, 0, 1};
    stream.insert(stream.end(), slice.begin(), slice.end());
    EXPECT_EQ(accessUnitFromAnnexB(stream, false).data, lengthPrefixed({slice}));

    const auto empty = accessUnitFromAnnexB({}, true);
    EXPECT_TRUE(empty.isKeyFrame);
    EXPECT_TRUE(empty.data.empty());
    EXPECT_TRUE(empty.sps.empty());
}

}  // namespace
}  // namespace kestrio::capture
