#include "capture/h264_bitstream.h"

#include <gtest/gtest.h>

namespace kestrio::capture {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The parts joined; with `lengthPrefixed`, each behind its 4-byte length.
Bytes join(std::initializer_list<Bytes> parts, bool lengthPrefixed = false)
{
    Bytes out;
    for (const Bytes& part : parts) {
        for (int shift = 24; lengthPrefixed && shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>(part.size() >> shift));
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

TEST(AccessUnitFromAnnexBTest, LiftsTheFirstParameterSetsAndLengthPrefixesTheRest)
{
    const Bytes sps{0x67, 0x64, 0x00, 0x1F, 0xAC}, pps{0x68, 0xEE, 0x3C, 0x80}, sei{0x06, 0x05, 0x11, 0x22};
    const Bytes idr{0x65, 0x88, 0x84, 0x00, 0x00, 0x03, 0x01, 0x7F};  // emulation prevention inside
    const Bytes sps2{0x67, 0x02}, pps2{0x68, 0x02}, slice{0x41, 0x9A, 0x00, 0x00, 0x03, 0x00, 0x10};
    const Bytes four{0, 0, 0, 1}, three{0, 0, 1};
    const std::tuple<const char*, Bytes, Bytes, Bytes, Bytes> cases[] = {
        {"sets, then the rest", join({four, sps, three, pps, four, sei, three, idr}), sps, pps, join({sei, idr}, true)},
        {"later sets pass through", join({four, sps, four, pps, four, sps2, four, pps2, four, slice}), sps, pps, join({sps2, pps2, slice}, true)},
        {"empty units, zero stuffing and trailing zeros", join({four, three, four, slice, {0, 0, 0, 0, 1, 0, 0}}), {}, {}, join({slice}, true)},
        {"bytes before the first start code", join({{0x12, 0x34}, three, slice}), {}, {}, join({slice}, true)},
        {"nothing", {}, {}, {}, {}},
    };
    for (const auto& [name, stream, sps, pps, data] : cases) {
        for (bool key : {true, false}) {
            const auto frame = accessUnitFromAnnexB(stream, key);
            EXPECT_EQ(std::tie(frame.isKeyFrame, frame.sps, frame.pps, frame.data), std::tie(key, sps, pps, data)) << name;
        }
    }
}

}  // namespace
}  // namespace kestrio::capture
