// Throughput of the viewer's input path as the streamer runs it: 16 KB socket chunks cut into
// lines, each checked for UTF-8, parsed, and its result handed to a consumer.

#include "runtime/base64.h"
#include "link/inbound_line.h"
#include "link/line_assembler.h"
#include "runtime/utf8.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace kestrio::link;
using kestrio::runtime::base64Encode;
using kestrio::runtime::isValidUtf8;

constexpr std::size_t chunkSize = 16384;

// A session's worth of input: mostly pointer traffic, with scrolling, typing, keys and pings.
std::string mixedStream(std::size_t targetBytes)
{
    const std::string typed = "T " + base64Encode("안녕하세요 · hello‑world") + "\n";
    std::mt19937 random(42);
    std::uniform_real_distribution<double> fraction(0.0, 1.0);
    std::uniform_int_distribution<int> offset(-40, 40);
    std::string stream;
    std::uint64_t ping = 0;
    while (stream.size() < targetBytes) {
        const auto x = std::to_string(fraction(random)).substr(0, 6);
        const auto y = std::to_string(fraction(random)).substr(0, 6);
        switch (random() % 20) {
        case 0:
            stream += "S " + x + " " + y + " 0 " + std::to_string(offset(random) * 3) + "\n";
            break;
        case 1:
            stream += "W 0 " + std::to_string(offset(random)) + "\n";
            break;
        case 2:
            stream += typed;
            break;
        case 3:
            stream += "K BACKSPACE\n";
            break;
        case 4:
            stream += "PING " + std::to_string(++ping) + "\n";
            break;
        case 5:
            stream += "B\n";
            break;
        case 6:
            stream += "D " + x + " " + y + "\n";
            break;
        case 7:
            stream += "U " + x + " " + y + "\n";
            break;
        case 8:
        case 9:
        case 10:
        case 11:
            stream += "N " + std::to_string(offset(random)) + " " + std::to_string(offset(random)) + "\n";
            break;
        default:
            stream += "M " + x + " " + y + "\n";
            break;
        }
    }
    return stream;
}

std::vector<std::string_view> chunksOf(const std::string& stream)
{
    std::vector<std::string_view> chunks;
    for (std::size_t offset = 0; offset < stream.size(); offset += chunkSize)
        chunks.push_back(std::string_view(stream).substr(offset, chunkSize));
    return chunks;
}

void runStream(benchmark::State& state, const std::string& stream)
{
    const auto chunks = chunksOf(stream);
    std::int64_t lines = 0;
    std::int64_t events = 0;
    const auto onLine = [&](std::string_view line) {
        ++lines;
        if (!isValidUtf8(line))
            return true;
        const InboundLine parsed = parseInboundLine(line);
        events += std::holds_alternative<IgnoredLine>(parsed) ? 0 : 1;
        benchmark::DoNotOptimize(parsed);
        return true;
    };
    for (auto _ : state) {
        LineAssembler assembler;
        for (auto chunk : chunks) {
            if (!assembler.ingest(chunk, onLine))
                state.SkipWithError("chunk refused");
        }
    }
    if (lines != events)
        state.SkipWithError("a line of the stream was ignored");
    state.SetItemsProcessed(lines);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
}

void BM_MixedControlStream(benchmark::State& state)
{
    static const std::string stream = mixedStream(1 << 20);
    runStream(state, stream);
}
BENCHMARK(BM_MixedControlStream);

// The shortest lines there are, a full chunk of them at a time: extraction must stay linear.
void BM_ShortLines(benchmark::State& state)
{
    std::string stream;
    while (stream.size() < (1 << 20))
        stream += "B\n";
    runStream(state, stream);
}
BENCHMARK(BM_ShortLines);

// One line as long as the buffer allows, arriving in small pieces: the search for its end must
// not start over with every piece.
void BM_LongLineInSmallPieces(benchmark::State& state)
{
    const auto pieceSize = static_cast<std::size_t>(state.range(0));
    const std::string line = "T " + std::string(LineAssembler::maxBufferedBytes - 3, 'A') + "\n";
    std::int64_t lines = 0;
    for (auto _ : state) {
        LineAssembler assembler;
        for (std::size_t offset = 0; offset < line.size(); offset += pieceSize) {
            assembler.ingest(std::string_view(line).substr(offset, pieceSize), [&](std::string_view) {
                ++lines;
                return true;
            });
        }
    }
    if (lines != state.iterations())
        state.SkipWithError("the line did not come out once per pass");
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_LongLineInSmallPieces)->Arg(16)->Arg(1024);

void BM_ParseNumber(benchmark::State& state, std::vector<std::string> tokens)
{
    for (auto _ : state) {
        for (const auto& token : tokens)
            benchmark::DoNotOptimize(parseNumber(token));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(tokens.size()));
}
BENCHMARK_CAPTURE(BM_ParseNumber, decimal, std::vector<std::string>{"0.5", "0.25371", "-120", "1e2", "500"});
BENCHMARK_CAPTURE(BM_ParseNumber, signedOrHex, std::vector<std::string>{"+0.5", "0x1p-1", "+1e2", "0x10", "+500"});

}  // namespace

BENCHMARK_MAIN();
