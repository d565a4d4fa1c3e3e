#include "link/message_reader.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrio::link {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = HostMessage::Kind;

// Each kind of message, one whose length needs the third prefix byte, read whole and byte by
// byte: each message comes out with its last byte, not before.
TEST(MessageReader, ReadsEachKindHoweverTheStreamIsSplit)
{
    Bytes bigJpeg(70000, 0x5A);
    bigJpeg[0] = 0xFF;
    const struct {
        Bytes payload;
        Kind kind;
        bool keyFrame;
        std::string text;
    } cases[] = {
        {makeControlPayload("WELCOME 2 H264 TWFj 1.0 1"), Kind::control, false, "WELCOME 2 H264 TWFj 1.0 1"},
        {{0x02, 0x01, 0x00, 0x00, 0x00, 0x01, 0x67}, Kind::videoPacket, true, ""},
        {{0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x41}, Kind::videoPacket, false, ""},
        {{}, Kind::empty, false, ""},
        {bigJpeg, Kind::jpegFrame, false, ""},
        {{0x02}, Kind::videoPacket, false, ""},  // too short to carry the key-frame flag
    };
    Bytes stream;
    for (const auto& c : cases) {
        const Bytes framed = frameMessage(c.payload);
        stream.insert(stream.end(), framed.begin(), framed.end());
    }
    for (const std::size_t step : {stream.size(), std::size_t{1}}) {
        SCOPED_TRACE(step);
        MessageReader reader;
        std::size_t read = 0;
        std::size_t due = 0;
        std::size_t end = 4 + cases[0].payload.size();
        for (std::size_t offset = 0; offset < stream.size(); offset += step) {
            reader.append(std::span(stream).subspan(offset, std::min(step, stream.size() - offset)));
            while (due < std::size(cases) && end <= offset + step) {
                ++due;
                if (due < std::size(cases))
                    end += 4 + cases[due].payload.size();
            }
            while (auto message = reader.next()) {
                ASSERT_LT(read, due) << "a message before its last byte, at " << offset;
                const auto& c = cases[read++];
                EXPECT_EQ(message->payload, c.payload);
                EXPECT_EQ(message->kind, c.kind);
                EXPECT_EQ(message->isKeyFrame(), c.keyFrame);
                EXPECT_EQ(message->controlText(), c.text);
            }
            ASSERT_EQ(read, due) << "after byte " << offset;
        }
        EXPECT_EQ(reader.bufferedBytes(), 0u);
    }
}

}  // namespace
}  // namespace kestrio::link
