#include "link/message_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace kestrio::link {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = HostMessage::Kind;

Bytes concat(const std::vector<Bytes>& parts)
{
    Bytes all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A stream with each kind of message, including one whose length needs the third prefix byte.
const std::vector<Bytes>& samplePayloads()
{
    static const std::vector<Bytes> payloads = [] {
        Bytes bigJpeg(70000, 0x5A);
        bigJpeg[0] = 0xFF;
        bigJpeg[1] = 0xD8;
        return std::vector<Bytes>{
            makeControlPayload("WELCOME 2 H264 TWFj 1.0 1"),
            Bytes{0x02, 0x01, 0x00, 0x00, 0x00, 0x01, 0x67},
            Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x41},
            Bytes{},
            bigJpeg,
            makeControlPayload("PONG 42"),
            Bytes{0x02},
        };
    }();
    return payloads;
}

Bytes sampleStream()
{
    std::vector<Bytes> framed;
    for (const auto& payload : samplePayloads())
        framed.push_back(frameMessage(payload));
    return concat(framed);
}

std::vector<HostMessage> drain(MessageReader& reader)
{
    std::vector<HostMessage> messages;
    while (auto message = reader.next())
        messages.push_back(std::move(*message));
    return messages;
}

TEST(MessageReader, ReadsEachKindOfMessage)
{
    MessageReader reader;
    const Bytes stream = sampleStream();
    reader.append(stream);
    const auto messages = drain(reader);
    EXPECT_EQ(reader.bufferedBytes(), 0u);

    ASSERT_EQ(messages.size(), samplePayloads().size());
    for (std::size_t i = 0; i < messages.size(); ++i)
        EXPECT_EQ(messages[i].payload, samplePayloads()[i]) << i;

    EXPECT_EQ(messages[0].kind, Kind::control);
    EXPECT_EQ(messages[0].controlText(), "WELCOME 2 H264 TWFj 1.0 1");
    EXPECT_FALSE(messages[0].isKeyFrame());
    EXPECT_EQ(messages[1].kind, Kind::videoPacket);
    EXPECT_TRUE(messages[1].isKeyFrame());
    EXPECT_EQ(messages[2].kind, Kind::videoPacket);
    EXPECT_FALSE(messages[2].isKeyFrame());
    EXPECT_EQ(messages[3].kind, Kind::empty);
    EXPECT_EQ(messages[4].kind, Kind::jpegFrame);
    EXPECT_EQ(messages[4].controlText(), "");
    EXPECT_FALSE(messages[4].isKeyFrame());
    EXPECT_EQ(messages[5].controlText(), "PONG 42");
    EXPECT_EQ(messages[6].kind, Kind::videoPacket);  // too short to carry the key-frame flag
    EXPECT_FALSE(messages[6].isKeyFrame());
}

TEST(MessageReader, SplittingTheStreamChangesNothing)
{
    const Bytes stream = sampleStream();

    MessageReader whole;
    whole.append(stream);
    const auto expected = drain(whole);

    // Each message comes out with its last byte, not before.
    std::vector<std::size_t> ends;
    std::size_t end = 0;
    for (const auto& payload : samplePayloads())
        ends.push_back(end += 4 + payload.size());
    MessageReader byteByByte;
    std::vector<HostMessage> messages;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        byteByByte.append(std::span(stream).subspan(i, 1));
        for (auto& message : drain(byteByByte))
            messages.push_back(std::move(message));
        const auto due = static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), i + 1) - ends.begin());
        ASSERT_EQ(messages.size(), due) << "after byte " << i;
    }
    EXPECT_TRUE(messages == expected);
    EXPECT_EQ(byteByByte.bufferedBytes(), 0u);
}

}  // namespace
}  // namespace kestrio::link
