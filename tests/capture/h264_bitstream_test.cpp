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

Bytes annexB(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(AccessUnitFromAnnexBTest, LiftsTheFirstParameterSetsAndLengthPrefixesTheRest)
{
    const Bytes sps{0x67, 0x64, 0x00, 0x1F, 0xAC}, pps{0x68, 0xEE, 0x3C, 0x80}, sei{0x06, 0x05, 0x11, 0x22};
    const Bytes idr{0x65, 0x88, 0x84, 0x00, 0x00, 0x03, 0x01, 0x7F};  // emulation prevention inside
    const Bytes sps2{0x67, 0x02}, pps2{0x68, 0x02}, slice{0x41, 0x9A, 0x00, 0x00, 0x03, 0x00, 0x10};
    const Bytes four{0, 0, 0, 1}, three{0, 0, 1};
    struct Case {
        const char* name;
        Bytes stream;
        Bytes sps;
        Bytes pps;
        Bytes data;
    };
    const Case cases[] = {
        {"sets, then the rest", annexB({four, sps, three, pps, four, sei, three, idr}), sps, pps, lengthPrefixed({sei, idr})},
        {"later sets pass through", annexB({four, sps, four, pps, four, sps2, four, pps2, four, slice}), sps, pps,
         lengthPrefixed({sps2, pps2, slice})},
        {"no sets", annexB({three, slice}), {}, {}, lengthPrefixed({slice})},
        {"empty units, zero stuffing and trailing zeros", annexB({four, three, four, slice, {0, 0, 0, 0, 1, 0, 0}}), {}, {},
         lengthPrefixed({slice})},
        {"bytes before the first start code", annexB({{0x12, 0x34}, three, slice}), {}, {}, lengthPrefixed({slice})},
        {"nothing", {}, {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool key : {true, false}) {
            const auto frame = accessUnitFromAnnexB(c.stream, key);
            EXPECT_EQ(frame.isKeyFrame, key);
            EXPECT_EQ(frame.sps, c.sps);
            EXPECT_EQ(frame.pps, c.pps);
            EXPECT_EQ(frame.data, c.data);
        }
    }
}

}  // namespace
}  // namespace kestrio::capture
