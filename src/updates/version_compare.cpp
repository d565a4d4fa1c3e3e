#include "updates/version_compare.h"

namespace kestrio::updates {
namespace {

bool isDigit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

bool isAsciiLetter(char c) noexcept
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Bytes outside ASCII belong to words, so that tags in other scripts still order consistently.
bool isWordByte(char c) noexcept
{
    return isAsciiLetter(c) || static_cast<unsigned char>(c) >= 0x80;
}

bool isSpace(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

char lower(char c) noexcept
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int sign(int value) noexcept
{
    return (value > 0) - (value < 0);
}

// Compares two runs of decimal digits by value, however long they are.
int compareDigits(std::string_view a, std::string_view b) noexcept
{
    while (!a.empty() && a.front() == '0')
        a.remove_prefix(1);
    while (!b.empty() && b.front() == '0')
        b.remove_prefix(1);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return sign(a.compare(b));
}

int compareWords(std::string_view a, std::string_view b) noexcept
{
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
        const auto x = static_cast<unsigned char>(lower(a[i]));
        const auto y = static_cast<unsigned char>(lower(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

struct SplitVersion {
    std::string_view numbers;  // "1.2.0": digits and the dots between components
    std::string_view tag;      // what follows the numbers, e.g. "-beta2"
};

SplitVersion split(std::string_view text) noexcept
{
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    if (const auto plus = text.find('+'); plus != std::string_view::npos)
        text = text.substr(0, plus);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    if (!text.empty() && (text.front() == 'v' || text.front() == 'V') && text.size() > 1 && isDigit(text[1]))
        text.remove_prefix(1);

    // A component's digits are followed by a dot (another component comes), the end, or the tag.
    std::size_t position = 0;
    for (;;) {
        while (position < text.size() && isDigit(text[position]))
            ++position;
        if (position + 1 < text.size() && text[position] == '.' && isDigit(text[position + 1])) {
            ++position;
            continue;
        }
        break;
    }
    return {text.substr(0, position), text.substr(position)};
}

// Hands out the numeric components one by one; an exhausted version yields zeros.
class ComponentReader {
public:
    explicit ComponentReader(std::string_view numbers) noexcept : rest_(numbers) {}

    bool done() const noexcept { return rest_.empty(); }

    std::string_view next() noexcept
    {
        const auto dot = rest_.find('.');
        const auto component = rest_.substr(0, dot);
        rest_ = dot == std::string_view::npos ? std::string_view{} : rest_.substr(dot + 1);
        return component;
    }

private:
    std::string_view rest_;
};

// Hands out a tag's letter runs and digit runs, skipping the punctuation between them.
class TagReader {
public:
    explicit TagReader(std::string_view tag) noexcept : rest_(tag) { skipSeparators(); }

    bool done() const noexcept { return rest_.empty(); }

    std::string_view next() noexcept
    {
        const bool digits = isDigit(rest_.front());
        std::size_t length = 0;
        while (length < rest_.size() && (digits ? isDigit(rest_[length]) : isWordByte(rest_[length])))
            ++length;
        const auto piece = rest_.substr(0, length);
        rest_.remove_prefix(length);
        skipSeparators();
        return piece;
    }

private:
    void skipSeparators() noexcept
    {
        while (!rest_.empty() && !isDigit(rest_.front()) && !isWordByte(rest_.front()))
            rest_.remove_prefix(1);
    }

    std::string_view rest_;
};

int compareTags(std::string_view a, std::string_view b) noexcept
{
    TagReader left(a);
    TagReader right(b);
    // No tag at all (or only punctuation) is the release itself, newer than any pre-release.
    if (left.done() || right.done())
        return left.done() == right.done() ? 0 : (left.done() ? 1 : -1);
    while (!left.done() && !right.done()) {
        const auto x = left.next();
        const auto y = right.next();
        const bool xDigits = isDigit(x.front());
        const bool yDigits = isDigit(y.front());
        int order = 0;
        if (xDigits != yDigits)
            order = xDigits ? -1 : 1;
        else
            order = xDigits ? compareDigits(x, y) : compareWords(x, y);
        if (order != 0)
            return order;
    }
    if (left.done() == right.done())
        return 0;
    return left.done() ? -1 : 1;
}

}  // namespace

int compareVersions(std::string_view a, std::string_view b) noexcept
{
    const auto left = split(a);
    const auto right = split(b);
    ComponentReader x(left.numbers);
    ComponentReader y(right.numbers);
    while (!x.done() || !y.done()) {
        if (const int order = compareDigits(x.next(), y.next()); order != 0)
            return order;
    }
    return compareTags(left.tag, right.tag);
}

}  // namespace kestrio::updates
