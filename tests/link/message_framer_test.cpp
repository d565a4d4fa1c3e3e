#include "link/message_framer.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrio::link {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(MessageFramer, LengthPrefixIsBigEndianPayloadLength)
{
    EXPECT_EQ(lengthPrefix(0), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(lengthPrefix(0x01020304), (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(lengthPrefix(0xFFFFFFFE), (std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFE}));

    const Bytes payload(70000, 0xAB);
    const Bytes message = frameMessage(payload);
    ASSERT_EQ(message.size(), 70004u);
    EXPECT_EQ(Bytes(message.begin(), message.begin() + 4), (Bytes{0x00, 0x01, 0x11, 0x70}));
    EXPECT_EQ(Bytes(message.begin() + 4, message.end()), payload);

    EXPECT_EQ(frameMessage({}), (Bytes{0, 0, 0, 0}));
}

TEST(MessageFramer, ControlMessageBytes)
{
    EXPECT_EQ(frameMessage(makeControlPayload("INPUT READY")),
        (Bytes{0x00, 0x00, 0x00, 0x0C, 0x03, 0x49, 0x4E, 0x50, 0x55, 0x54, 0x20, 0x52, 0x45, 0x41, 0x44, 0x59}));
    EXPECT_EQ(makeControlPayload(""), Bytes{0x03});
    // UTF-8 goes out as it is, counted in bytes.
    EXPECT_EQ(frameMessage(makeControlPayload("맥")), (Bytes{0, 0, 0, 4, 0x03, 0xEB, 0xA7, 0xA5}));
}

TEST(MessageFramer, WelcomeText)
{
    EXPECT_EQ(makeWelcomeText(true, "김민수의 Mac", "1.4.2", "317"), "WELCOME 2 H264 6rmA66+87IiY7J2YIE1hYw== 1.4.2 317");
    EXPECT_EQ(makeWelcomeText(false, "Kestrel’s MacBook", "1.0", "1"), "WELCOME 2 JPEG S2VzdHJlbOKAmXMgTWFjQm9vaw== 1.0 1");
    // No host name, version or build: "Mac", "0" and "0" stand in.
    EXPECT_EQ(makeWelcomeText(false, "", "", ""), "WELCOME 2 JPEG TWFj 0 0");
}

}  // namespace
}  // namespace kestrio::link
