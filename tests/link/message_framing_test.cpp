#include "link/message_framer.h"
#include "link/message_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

namespace kestrio::link {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = HostMessage::Kind;

TEST(MessageFraming, BytesOnTheWire)
{
    EXPECT_EQ(frameMessage(makeControlPayload("INPUT 맥")), (Bytes{0, 0, 0, 10, 0x03, 'I', 'N', 'P', 'U', 'T', ' ', 0xEB, 0xA7, 0xA5}));
    const Bytes framed = frameMessage(Bytes(70000, 0xAB));
    EXPECT_EQ(Bytes(framed.begin(), framed.begin() + 5), (Bytes{0x00, 0x01, 0x11, 0x70, 0xAB}));
    EXPECT_EQ(framed.size(), 70004u);
    EXPECT_EQ(lengthPrefix(0xFFFFFFFE), (std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(makeWelcomeText(true, "김민수의 Mac", "1.4.2", "317"), "WELCOME 2 H264 6rmA66+87IiY7J2YIE1hYw== 1.4.2 317");
    EXPECT_EQ(makeWelcomeText(false, "", "", ""), "WELCOME 2 JPEG TWFj 0 0");
}

// Read byte by byte, each message comes out with its last byte, not before or after.
TEST(MessageFraming, ReaderCutsTheStreamBackIntoMessages)
{
    Bytes jpeg(70000, 0x5A);
    jpeg[0] = 0xFF;
    const std::tuple<Bytes, Kind, bool> cases[] = {
        {makeControlPayload("WELCOME"), Kind::control, false}, {{0x02, 0x01, 0x67}, Kind::videoPacket, true},
        {{0x02, 0x00, 0x41}, Kind::videoPacket, false},        {{}, Kind::empty, false},
        {jpeg, Kind::jpegFrame, false},                        {{0x02}, Kind::videoPacket, false},
    };
    Bytes stream;
    std::vector<std::size_t> ends;
    for (const auto& c : cases) {
        const Bytes framed = frameMessage(std::get<Bytes>(c));
        stream.insert(stream.end(), framed.begin(), framed.end());
        ends.push_back(stream.size());
    }
    MessageReader reader;
    std::size_t read = 0;
    for (std::size_t offset = 0; offset < stream.size(); ++offset) {
        reader.append(std::span(stream).subspan(offset, 1));
        while (auto message = reader.next()) {
            const auto& [payload, kind, keyFrame] = cases[read++];
            EXPECT_TRUE(*message == (HostMessage{kind, payload}) && message->isKeyFrame() == keyFrame) << read;
        }
        ASSERT_EQ(read, std::size_t(std::upper_bound(ends.begin(), ends.end(), offset + 1) - ends.begin())) << offset;
    }
    EXPECT_EQ(reader.bufferedBytes(), 0u);
    EXPECT_EQ((HostMessage{Kind::control, makeControlPayload("PONG 1")}.controlText()), "PONG 1");
}

}  // namespace
}  // namespace kestrio::link
