#include "runtime/base64.h"

#include "runtime/utf8.h"

#include <array>
#include <cstdint>

namespace kestrio::runtime {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t invalidSextet = 0xFF;

constexpr std::array<std::uint8_t, 256> makeDecodeTable()
{
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table)
        entry = invalidSextet;
    for (std::uint8_t value = 0; value < 64; ++value)
        table[static_cast<unsigned char>(alphabet[value])] = value;
    return table;
}

constexpr std::array<std::uint8_t, 256> decodeTable = makeDecodeTable();

std::uint8_t sextet(char c)
{
    return decodeTable[static_cast<unsigned char>(c)];
}

}  // namespace

std::string base64Encode(std::string_view bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16
            | static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8
            | static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 2]));
        out.push_back(alphabet[(group >> 18) & 0x3F]);
        out.push_back(alphabet[(group >> 12) & 0x3F]);
        out.push_back(alphabet[(group >> 6) & 0x3F]);
        out.push_back(alphabet[group & 0x3F]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        out.push_back(alphabet[(group >> 18) & 0x3F]);
        out.push_back(alphabet[(group >> 12) & 0x3F]);
        out.append("==");
    } else if (rest == 2) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16
            | static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out.push_back(alphabet[(group >> 18) & 0x3F]);
        out.push_back(alphabet[(group >> 12) & 0x3F]);
        out.push_back(alphabet[(group >> 6) & 0x3F]);
        out.push_back('=');
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    if (text.empty())
        return out;

    std::size_t padding = 0;
    if (text.back() == '=')
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    const std::size_t fullGroupsEnd = text.size() - 4;
    out.reserve(text.size() / 4 * 3 - padding);

    for (std::size_t i = 0; i < fullGroupsEnd; i += 4) {
        const std::uint8_t a = sextet(text[i]);
        const std::uint8_t b = sextet(text[i + 1]);
        const std::uint8_t c = sextet(text[i + 2]);
        const std::uint8_t d = sextet(text[i + 3]);
        // Every invalid character, '=' included, maps to a value with the top bits set.
        if (((a | b | c | d) & 0xC0) != 0)
            return std::nullopt;
        const std::uint32_t group = std::uint32_t{a} << 18 | std::uint32_t{b} << 12 | std::uint32_t{c} << 6 | d;
        out.push_back(static_cast<char>(group >> 16));
        out.push_back(static_cast<char>((group >> 8) & 0xFF));
        out.push_back(static_cast<char>(group & 0xFF));
    }

    // The last group carries the padding, if any.
    const std::string_view last = text.substr(fullGroupsEnd);
    const std::uint8_t a = sextet(last[0]);
    const std::uint8_t b = sextet(last[1]);
    const std::uint8_t c = padding == 2 ? 0 : sextet(last[2]);
    const std::uint8_t d = padding >= 1 ? 0 : sextet(last[3]);
    if (((a | b | c | d) & 0xC0) != 0)
        return std::nullopt;
    const std::uint32_t group = std::uint32_t{a} << 18 | std::uint32_t{b} << 12 | std::uint32_t{c} << 6 | d;
    out.push_back(static_cast<char>(group >> 16));
    if (padding == 2) {
        // Bits the padding leaves unused must be zero, or two texts would decode alike.
        if ((group & 0xFFFF) != 0)
            return std::nullopt;
        return out;
    }
    out.push_back(static_cast<char>((group >> 8) & 0xFF));
    if (padding == 1) {
        if ((group & 0xFF) != 0)
            return std::nullopt;
        return out;
    }
    out.push_back(static_cast<char>(group & 0xFF));
    return out;
}

}  // namespace kestrio::runtime
