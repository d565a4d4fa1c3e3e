#include "link/line_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrio::link {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

// Feeds chunks and collects every line handed out; false if a chunk was refused.
struct Collector {
    LineAssembler assembler;
    Lines lines;

    bool feed(std::string_view chunk)
    {
        return assembler.ingest(chunk, [this](std::string_view line) {
            lines.emplace_back(line);
            return true;
        });
    }
};

TEST(LineAssembler, CutsLinesWhereverTheChunksEnd)
{
    Collector twoInOne;
    EXPECT_TRUE(twoInOne.feed("PING 1\nM 0.5 0.5\n"));
    EXPECT_EQ(twoInOne.lines, (Lines{"PING 1", "M 0.5 0.5"}));
    EXPECT_EQ(twoInOne.assembler.bufferedBytes(), 0u);

    Collector split;
    EXPECT_TRUE(split.feed("PI"));
    EXPECT_TRUE(split.feed("NG 4"));
    EXPECT_TRUE(split.lines.empty());
    EXPECT_EQ(split.assembler.bufferedBytes(), 6u);
    EXPECT_TRUE(split.feed("2\nKEY"));
    EXPECT_EQ(split.lines, Lines{"PING 42"});
    EXPECT_EQ(split.assembler.bufferedBytes(), 3u);
    EXPECT_TRUE(split.feed("FRAME\n"));
    EXPECT_EQ(split.lines, (Lines{"PING 42", "KEYFRAME"}));

    // CR is kept, empty lines and NUL bytes are passed on as they are.
    Collector raw;
    EXPECT_TRUE(raw.feed("PING 7\r\n\n\nB\0x\n"s));
    EXPECT_EQ(raw.lines, (Lines{"PING 7\r", "", "", "B\0x"s}));
}

TEST(LineAssembler, RefusesMoreThanTheLimitCountingTheWholeChunk)
{
    const std::size_t limit = LineAssembler::maxBufferedBytes;
    ASSERT_EQ(limit, 65536u);

    // 65,536 bytes without LF are kept, in 16 KB chunks as the socket delivers them.
    Collector full;
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(full.feed(std::string(16384, 'a')));
    EXPECT_EQ(full.assembler.bufferedBytes(), limit);
    EXPECT_FALSE(full.feed("\n"));  // one more byte, even one that would end the line
    EXPECT_TRUE(full.lines.empty());

    // A chunk that completes lines still counts in full before any line is taken out.
    Collector late;
    ASSERT_TRUE(late.feed(std::string(60000, 'a')));
    EXPECT_FALSE(late.feed("\nPING 1\n" + std::string(5600, 'b')));
    EXPECT_TRUE(late.lines.empty());
    EXPECT_EQ(late.assembler.bufferedBytes(), 60000u);

    Collector exact;
    ASSERT_TRUE(exact.feed(std::string(60000, 'a')));
    EXPECT_TRUE(exact.feed("\nPING 1\n" + std::string(limit - 60000 - 8, 'b')));
    EXPECT_EQ(exact.lines, (Lines{std::string(60000, 'a'), "PING 1"}));
    EXPECT_EQ(exact.assembler.bufferedBytes(), limit - 60000 - 8);

    // Only bytes not yet handed out count: a long stream of complete lines never trips it.
    Collector busy;
    const std::string line = std::string(99, 'c') + "\n";
    std::string chunk;
    while (chunk.size() + line.size() <= 16384)
        chunk += line;
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(busy.feed(chunk));
    EXPECT_EQ(busy.lines.size(), 20 * (16384 / 100));
}

TEST(LineAssembler, CallbackCanStopOrClear)
{
    LineAssembler assembler;
    Lines seen;
    const auto stopAfterFirst = [&seen](std::string_view line) {
        seen.emplace_back(line);
        return false;
    };
    EXPECT_TRUE(assembler.ingest("a\nb\nc", stopAfterFirst));
    EXPECT_EQ(seen, Lines{"a"});
    EXPECT_EQ(assembler.bufferedBytes(), 3u);
    const auto takeAll = [&seen](std::string_view line) {
        seen.emplace_back(line);
        return true;
    };
    EXPECT_TRUE(assembler.ingest("", takeAll));  // resumes with what was left
    EXPECT_EQ(seen, (Lines{"a", "b"}));
    EXPECT_TRUE(assembler.ingest("\n", takeAll));
    EXPECT_EQ(seen, (Lines{"a", "b", "c"}));

    // Clearing from inside the callback drops the rest; the line in hand stays intact.
    seen.clear();
    EXPECT_TRUE(assembler.ingest("first\nsecond\nthird", [&](std::string_view line) {
        assembler.clear();
        seen.emplace_back(line);
        return true;
    }));
    EXPECT_EQ(seen, Lines{"first"});
    EXPECT_EQ(assembler.bufferedBytes(), 0u);
    EXPECT_TRUE(assembler.ingest("fourth\n", takeAll));
    EXPECT_EQ(seen, (Lines{"first", "fourth"}));

    // Clearing from outside forgets a partial line.
    EXPECT_TRUE(assembler.ingest("half", takeAll));
    assembler.clear();
    EXPECT_EQ(assembler.bufferedBytes(), 0u);
    EXPECT_TRUE(assembler.ingest(" line\n", takeAll));
    EXPECT_EQ(seen.back(), " line");
}

}  // namespace
}  // namespace kestrio::link
