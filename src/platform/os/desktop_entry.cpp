#include "platform/os/desktop_entry.h"

#include "runtime/utf8.h"

#include <algorithm>
#include <iterator>

namespace kestrio::platform::os {
namespace {

// The blanks GLib skips around lines, keys and values (g_ascii_isspace).
bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isControl(char c)
{
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

std::string_view trimStart(std::string_view text)
{
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    return text;
}

std::string_view trimEnd(std::string_view text)
{
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

bool isText(std::string_view text)
{
    return text.find('\0') == std::string_view::npos && runtime::isValidUtf8(text);
}

bool isGroupName(std::string_view name)
{
    return !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
        return c == '[' || c == ']' || isControl(c);
    });
}

bool isLocaleCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'
        || c == '.' || c == '@';
}

// GLib takes a little more than the letters, digits and '-' the format names, and refuses
// blanks at either end, which would not survive being read back.
bool isKeyName(std::string_view key)
{
    std::size_t open = key.find('[');
    std::string_view base = key.substr(0, open);
    if (base.empty() || base.front() == ' ' || base.back() == ' ')
        return false;
    if (std::any_of(base.begin(), base.end(), [](char c) { return c == '=' || c == ']' || isControl(c); }))
        return false;
    if (open == std::string_view::npos)
        return true;
    std::string_view locale = key.substr(open + 1);
    if (locale.size() < 2 || locale.back() != ']')
        return false;
    locale.remove_suffix(1);
    return std::all_of(locale.begin(), locale.end(), isLocaleCharacter);
}

std::string escape(std::string_view value)
{
    std::string escaped;
    escaped.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        switch (c) {
        case '\\':
            escaped += "\\\\";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\r':
            escaped += "\\r";
            break;
        case ' ':
            // Readers drop blanks after '='; some drop them at the end of the line as well.
            escaped += i == 0 || i + 1 == value.size() ? "\\s" : " ";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::optional<std::string> unescape(std::string_view raw)
{
    std::string value;
    value.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            value += raw[i];
            continue;
        }
        if (++i == raw.size())
            return std::nullopt;
        switch (raw[i]) {
        case 's':
            value += ' ';
            break;
        case 'n':
            value += '\n';
            break;
        case 't':
            value += '\t';
            break;
        case 'r':
            value += '\r';
            break;
        case '\\':
            value += '\\';
            break;
        case ';':
            value += "\\;";
            break;
        default:
            return std::nullopt;
        }
    }
    return value;
}

}  // namespace

std::optional<DesktopEntry> DesktopEntry::parse(std::string_view text)
{
    if (!isText(text))
        return std::nullopt;
    DesktopEntry entry;
    bool inGroup = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
        start = end == std::string_view::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);

        Line parsed;
        parsed.original = std::string(line);
        std::string_view body = trimStart(line);
        if (body.empty() || body.front() == '#') {
            parsed.kind = Line::Kind::comment;
        } else if (body.front() == '[') {
            std::size_t close = body.find(']');
            if (close == std::string_view::npos)
                return std::nullopt;
            std::string_view after = body.substr(close + 1);
            if (!std::all_of(after.begin(), after.end(), [](char c) { return c == ' ' || c == '\t'; }))
                return std::nullopt;
            std::string_view name = body.substr(1, close - 1);
            if (!isGroupName(name))
                return std::nullopt;
            parsed.kind = Line::Kind::group;
            parsed.name = std::string(name);
            inGroup = true;
        } else {
            std::size_t equals = body.find('=');
            if (equals == std::string_view::npos || !inGroup)
                return std::nullopt;
            std::string_view key = trimEnd(body.substr(0, equals));
            if (!isKeyName(key))
                return std::nullopt;
            parsed.kind = Line::Kind::entry;
            parsed.name = std::string(key);
            parsed.value = std::string(trimStart(body.substr(equals + 1)));
        }
        entry.lines_.push_back(std::move(parsed));
    }
    return entry;
}

std::string DesktopEntry::text() const
{
    std::string text;
    for (const Line& line : lines_) {
        if (line.original) {
            text += *line.original;
        } else if (line.kind == Line::Kind::group) {
            text += '[';
            text += line.name;
            text += ']';
        } else if (line.kind == Line::Kind::entry) {
            text += line.name;
            text += '=';
            text += line.value;
        }
        text += '\n';
    }
    return text;
}

std::optional<std::string> DesktopEntry::firstGroup() const
{
    if (auto index = firstGroupIndex())
        return lines_[*index].name;
    return std::nullopt;
}

bool DesktopEntry::hasKey(std::string_view group, std::string_view key) const
{
    return !find(group, key).empty();
}

std::optional<std::string> DesktopEntry::rawValue(std::string_view group, std::string_view key) const
{
    auto found = find(group, key);
    if (found.empty())
        return std::nullopt;
    return lines_[found.back()].value;
}

std::optional<std::string> DesktopEntry::stringValue(std::string_view group, std::string_view key) const
{
    auto raw = rawValue(group, key);
    if (!raw)
        return std::nullopt;
    return unescape(*raw);
}

std::optional<bool> DesktopEntry::boolValue(std::string_view group, std::string_view key) const
{
    auto raw = rawValue(group, key);
    if (!raw)
        return std::nullopt;
    std::string_view value = trimEnd(*raw);
    if (value == "true" || value == "1")
        return true;
    if (value == "false" || value == "0")
        return false;
    return std::nullopt;
}

bool DesktopEntry::setString(std::string_view group, std::string_view key, std::string_view value)
{
    if (!isGroupName(group) || !isText(group) || !isKeyName(key) || !isText(key) || !isText(value))
        return false;
    Line line = entryLine(key, escape(value));
    auto found = find(group, key);
    if (!found.empty()) {
        for (auto repeat = found.rbegin(); repeat != std::prev(found.rend()); ++repeat)
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*repeat));
        lines_[found.front()] = std::move(line);
        return true;
    }
    if (auto at = insertionPoint(group)) {
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(*at), std::move(line));
        return true;
    }
    if (!lines_.empty() && !isBlank(lines_.back()))
        lines_.push_back(blankLine());
    lines_.push_back(groupLine(group));
    lines_.push_back(std::move(line));
    return true;
}

bool DesktopEntry::setBool(std::string_view group, std::string_view key, bool value)
{
    return setString(group, key, value ? "true" : "false");
}

void DesktopEntry::remove(std::string_view group, std::string_view key)
{
    auto found = find(group, key);
    for (auto index = found.rbegin(); index != found.rend(); ++index)
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*index));
}

bool DesktopEntry::makeFirstGroup(std::string_view group)
{
    if (!isGroupName(group) || !isText(group))
        return false;
    auto first = firstGroupIndex();
    if (first && lines_[*first].name == group)
        return true;
    auto target = lines_.begin() + static_cast<std::ptrdiff_t>(first.value_or(lines_.size()));

    auto header = std::find_if(lines_.begin(), lines_.end(), [&](const Line& line) {
        return line.kind == Line::Kind::group && line.name == group;
    });
    if (header == lines_.end()) {
        std::vector<Line> block {groupLine(group)};
        if (first)
            block.push_back(blankLine());
        lines_.insert(target, std::make_move_iterator(block.begin()), std::make_move_iterator(block.end()));
        return true;
    }

    // The group comes after `target`, so taking it out leaves `target` where it was.
    std::ptrdiff_t targetIndex = target - lines_.begin();
    auto end = lines_.begin() + static_cast<std::ptrdiff_t>(groupEnd(static_cast<std::size_t>(header - lines_.begin())));
    std::vector<Line> block(std::make_move_iterator(header), std::make_move_iterator(end));
    lines_.erase(header, end);
    // A blank line keeps it apart from the group that now follows it.
    if (!isBlank(block.back()))
        block.push_back(blankLine());
    lines_.insert(lines_.begin() + targetIndex, std::make_move_iterator(block.begin()), std::make_move_iterator(block.end()));
    return true;
}

DesktopEntry::Line DesktopEntry::entryLine(std::string_view key, std::string value)
{
    Line line;
    line.kind = Line::Kind::entry;
    line.name = std::string(key);
    line.value = std::move(value);
    return line;
}

DesktopEntry::Line DesktopEntry::groupLine(std::string_view group)
{
    Line line;
    line.kind = Line::Kind::group;
    line.name = std::string(group);
    return line;
}

DesktopEntry::Line DesktopEntry::blankLine()
{
    return Line {};
}

bool DesktopEntry::isBlank(const Line& line)
{
    return line.kind == Line::Kind::comment && trimStart(line.original.value_or("")).empty();
}

std::vector<std::size_t> DesktopEntry::find(std::string_view group, std::string_view key) const
{
    std::vector<std::size_t> found;
    bool inGroup = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind == Line::Kind::group)
            inGroup = line.name == group;
        else if (inGroup && line.kind == Line::Kind::entry && line.name == key)
            found.push_back(i);
    }
    return found;
}

std::optional<std::size_t> DesktopEntry::insertionPoint(std::string_view group) const
{
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind != Line::Kind::group || lines_[i].name != group)
            continue;
        // Comments and blank lines at the end of a group usually lead into the next one.
        std::size_t at = i + 1;
        std::size_t end = groupEnd(i);
        for (std::size_t j = i + 1; j < end; ++j) {
            if (lines_[j].kind == Line::Kind::entry)
                at = j + 1;
        }
        return at;
    }
    return std::nullopt;
}

std::optional<std::size_t> DesktopEntry::firstGroupIndex() const
{
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == Line::Kind::group)
            return i;
    }
    return std::nullopt;
}

std::size_t DesktopEntry::groupEnd(std::size_t header) const
{
    std::size_t end = header + 1;
    while (end < lines_.size() && lines_[end].kind != Line::Kind::group)
        ++end;
    return end;
}

std::string quoteExecArgument(std::string_view argument)
{
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    bool quoted = argument.empty() || argument.find_first_of(reserved) != std::string_view::npos;
    std::string text;
    text.reserve(argument.size() + 2);
    if (quoted)
        text += '"';
    for (char c : argument) {
        if (c == '%')
            text += '%';
        else if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\'))
            text += '\\';
        text += c;
    }
    if (quoted)
        text += '"';
    return text;
}

}  // namespace kestrio::platform::os
