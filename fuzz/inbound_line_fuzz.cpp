// Feeds arbitrary bytes through the viewer-link input path (line assembly, UTF-8 check, line
// parsing) and the host-message reader, in chunk sizes chosen by the input, and checks each
// against a plain reference model. Any disagreement traps.

#include "runtime/base64.h"
#include "link/inbound_line.h"
#include "link/line_assembler.h"
#include "link/message_reader.h"
#include "runtime/utf8.h"

#include "fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <locale.h>
#include <optional>
#include <span>
#include <stdlib.h>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace {

using namespace kestrio::link;
using kestrio::runtime::base64Decode;
using kestrio::runtime::base64Encode;
using kestrio::fuzz::require;
using kestrio::runtime::isValidUtf8;

// What the callback does after a line, from the line's number and a seed, so that the model
// can replay the same decisions.
enum class Action { keepGoing, stop, clear };

Action scripted(std::uint8_t seed, std::uint64_t lineNumber)
{
    std::uint64_t h = (lineNumber + 1) * 0x9E3779B97F4A7C15ULL ^ seed;
    h ^= h >> 29;
    return seed == 0 || h % 8 > 1 ? Action::keepGoing : h % 8 == 0 ? Action::stop : Action::clear;
}

// The line assembler as the protocol describes it, written for clarity, not speed.
struct ModelAssembler {
    std::string buffer;
    std::uint64_t lineNumber = 0;

    bool ingest(std::string_view chunk, std::uint8_t seed, std::vector<std::string>& lines)
    {
        if (buffer.size() + chunk.size() > LineAssembler::maxBufferedBytes)
            return false;
        buffer.append(chunk);
        for (auto lineFeed = buffer.find('\n'); lineFeed != std::string::npos; lineFeed = buffer.find('\n')) {
            lines.push_back(buffer.substr(0, lineFeed));
            buffer.erase(0, lineFeed + 1);
            const Action action = scripted(seed, lineNumber++);
            if (action == Action::clear)
                buffer.clear();
            if (action != Action::keepGoing)
                break;
        }
        return true;
    }
};

// strtod itself, in the C locale, on the whole text.
std::optional<double> referenceNumber(std::string_view token)
{
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
    const std::string text(token);
    char* end = nullptr;
    const double value = strtod_l(text.c_str(), &end, cLocale);
    if (token.empty() || std::strchr(" \t\n\v\f\r", token.front()) != nullptr || end != text.c_str() + text.size())
        return std::nullopt;
    return value;
}

void checkNumber(std::string_view text)
{
    const auto parsed = parseNumber(text);
    const auto expected = referenceNumber(text);
    require(parsed.has_value() == expected.has_value());
    if (parsed) {
        require(text.find(' ') == std::string_view::npos);
        require(std::isnan(*parsed) ? std::isnan(*expected) : *parsed == *expected);
    }
}

// Positions are fractions of the screen, movements bounded; texts are what the line carried.
void checkEvent(const ViewerControlEvent& event, const std::vector<std::string_view>& tokens)
{
    const auto isPosition = [](double value) { return value >= 0.0 && value <= 1.0; };
    const auto isDelta = [](double value) { return std::isfinite(value) && std::fabs(value) <= 500.0; };
    std::visit(
        [&](const auto& e) {
            if constexpr (requires { e.x; })
                require(isPosition(e.x) && isPosition(e.y));
            if constexpr (requires { e.deltaX; })
                require(isDelta(e.deltaX) && isDelta(e.deltaY));
            if constexpr (requires { e.dx; })
                require(isDelta(e.dx) && isDelta(e.dy));
            if constexpr (requires { e.text; })
                require(!e.text.empty() && isValidUtf8(e.text) && tokens.size() == 2 && base64Encode(e.text) == tokens[1]);
        },
        event);
}

void checkLine(std::string_view line)
{
    const bool valid = isValidUtf8(line);
    require(valid == kestrio::fuzz::isWellFormedUtf8(line));

    const auto tokens = tokenize(line);
    for (auto token : tokens) {
        require(!token.empty() && token.find(' ') == std::string_view::npos);
        if (auto decoded = base64Decode(token))
            require(base64Encode(*decoded) == token);
        checkNumber(token);
    }
    checkNumber(line);
    if (!valid)
        return;

    const InboundLine parsed = parseInboundLine(line);
    (void)describe(parsed);
    if (!std::holds_alternative<IgnoredLine>(parsed))
        require(!tokens.empty());
    if (auto* handshake = std::get_if<Handshake>(&parsed)) {
        require(!handshake->name.empty() && isValidUtf8(handshake->name));
        require(!handshake->identifier.empty() && isValidUtf8(handshake->identifier));
        require(tokens[0] == "HELLO" || tokens[0] == "CAP");
    } else if (auto* ping = std::get_if<Ping>(&parsed)) {
        require(ping->token == (tokens.size() >= 2 ? tokens[1] : std::string_view("0")));
    } else if (auto* event = std::get_if<ViewerControlEvent>(&parsed)) {
        checkEvent(*event, tokens);
    }
}

void checkMessageReader(const std::string& stream, const std::vector<std::size_t>& chunkSizes)
{
    MessageReader reader;
    std::size_t appended = 0, consumed = 0;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(stream.data());
    for (std::size_t size : chunkSizes) {
        reader.append(std::span(bytes + appended, size));
        appended += size;
        while (auto message = reader.next()) {
            // The message is exactly the bytes it was cut from.
            const auto framed = frameMessage(message->payload);
            require(consumed + framed.size() <= appended);
            require(std::memcmp(framed.data(), bytes + consumed, framed.size()) == 0);
            consumed += framed.size();
            const auto kind = message->payload.empty() ? HostMessage::Kind::empty
                : message->payload[0] == controlMessageType ? HostMessage::Kind::control
                : message->payload[0] == videoPacketType    ? HostMessage::Kind::videoPacket
                                                            : HostMessage::Kind::jpegFrame;
            require(message->kind == kind);
        }
        require(consumed + reader.bufferedBytes() == appended);
        // Whatever is left must be an incomplete message.
        const std::size_t left = appended - consumed;
        if (left >= 4) {
            const std::size_t length = std::size_t{bytes[consumed]} << 24 | std::size_t{bytes[consumed + 1]} << 16
                | std::size_t{bytes[consumed + 2]} << 8 | bytes[consumed + 3];
            require(length > left - 4);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The whole input is the received stream; the provider reads the chunk sizes and the
    // callback's script from its tail, so plain-text seeds stay meaningful.
    FuzzedDataProvider provider(data, size);
    const std::uint8_t seed = provider.ConsumeIntegral<std::uint8_t>();
    // Repeating the input lets short inputs reach the buffer limit.
    const int repeat = provider.ConsumeIntegralInRange(1, 24);
    std::string stream;
    for (int i = 0; i < repeat; ++i)
        stream.append(reinterpret_cast<const char*>(data), size);

    LineAssembler assembler;
    ModelAssembler model;
    std::uint64_t lineNumber = 0;
    std::vector<std::size_t> chunkSizes;
    std::vector<std::string> lines, modelLines;
    for (std::size_t offset = 0; offset < stream.size();) {
        std::size_t chunkSize = provider.remaining_bytes() > 0 ? provider.ConsumeIntegralInRange<std::size_t>(0, 16384)
                                                               : 16384;
        chunkSize = std::min(chunkSize, stream.size() - offset);
        const std::string_view chunk(stream.data() + offset, chunkSize);
        offset += chunkSize;
        chunkSizes.push_back(chunkSize);

        const std::size_t before = assembler.bufferedBytes();
        const bool accepted = assembler.ingest(chunk, [&](std::string_view line) {
            lines.emplace_back(line);
            checkLine(line);
            const Action action = scripted(seed, lineNumber++);
            if (action == Action::clear) {
                assembler.clear();
                // The line in hand must survive the clear.
                require(line == lines.back());
                return true;
            }
            return action != Action::stop;
        });
        require(accepted == model.ingest(chunk, seed, modelLines));
        require(lines == modelLines);
        if (accepted) {
            require(assembler.bufferedBytes() <= LineAssembler::maxBufferedBytes);
            require(assembler.bufferedBytes() == model.buffer.size());
        } else {
            require(assembler.bufferedBytes() == before);
            // The caller drops the connection; the next bytes start afresh.
            assembler.clear();
            model.buffer.clear();
        }
    }

    checkMessageReader(stream, chunkSizes);
    return 0;
}
