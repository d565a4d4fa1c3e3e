#include "link/line_assembler.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrio::link {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

struct Collector {
    LineAssembler assembler;
    Lines lines;
    bool feed(std::string_view chunk, bool more = true)
    {
        return assembler.ingest(chunk, [&](std::string_view line) {
            lines.emplace_back(line);
            return more;
        });
    }
};

TEST(LineAssembler, CutsLinesWhereverTheChunksEndKeepingCrAndNul)
{
    Collector c;
    EXPECT_TRUE(c.feed("PI") && c.feed("NG 4") && c.feed("2\r\n\nB\0x\nKEY"s));
    EXPECT_EQ(c.lines, (Lines{"PING 42\r", "", "B\0x"s}));
    EXPECT_EQ(c.assembler.bufferedBytes(), 3u);
    // Stopped by the callback, the rest waits for the next ingest; cleared, it is gone.
    EXPECT_TRUE(c.feed("FRAME\na\nb", false) && c.feed(""));
    EXPECT_EQ(c.lines.back(), "a");
    EXPECT_TRUE(c.assembler.ingest("\nc\nd\n", [&](std::string_view line) {
        c.lines.emplace_back(line);
        c.assembler.clear();
        return true;
    }));
    EXPECT_EQ(c.lines, (Lines{"PING 42\r", "", "B\0x"s, "KEYFRAME", "a", "b"}));
    EXPECT_EQ(c.assembler.bufferedBytes(), 0u);
}

TEST(LineAssembler, RefusesPastTheLimitCountingTheWholeChunk)
{
    const std::size_t limit = LineAssembler::maxBufferedBytes;
    Collector full;
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(full.feed(std::string(limit / 4, 'a')));
    EXPECT_FALSE(full.feed("\n"));

    Collector late;
    ASSERT_TRUE(late.feed(std::string(60000, 'a')));
    EXPECT_FALSE(late.feed("\nPING 1\n" + std::string(limit - 60000 - 7, 'b')));
    EXPECT_TRUE(late.lines.empty());
    EXPECT_TRUE(late.feed("\nPING 1\n" + std::string(limit - 60000 - 8, 'b')));
    EXPECT_EQ(late.lines, (Lines{std::string(60000, 'a'), "PING 1"}));

    // Only bytes not yet handed out count.
    Collector busy;
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(busy.feed(std::string(16383, 'c') + "\n"));
}

}  // namespace
}  // namespace kestrio::link
