#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::platform::os {

// A desktop entry file, or any file of the same key-file format: groups headed by [Name], each
// holding Key=value lines, where a key may carry a locale (Name[ko]). Lines starting with '#'
// and blank lines are kept where they are. Writing back what was read gives the same lines,
// each ended by "\n"; only the lines a change touches are rewritten, as plain Key=value.
//
// It reads files as GLib's key-file reader does, since that is what the desktops start autostart
// entries with: blanks around '=' do not count, and where a key appears twice in a group (or a
// group twice in the file) the last value is the one that holds. Key names are held to the
// format a little more strictly: no control characters, and locales of ASCII letters, digits
// and "-_.@" only.
class DesktopEntry {
public:
    // Nothing when the text is not in the format: bytes that are not UTF-8, a NUL, a line that
    // is neither a comment, a group header nor Key=value, an entry before the first group, or a
    // group or key name the format does not allow.
    static std::optional<DesktopEntry> parse(std::string_view text);

    DesktopEntry() = default;

    std::string text() const;

    // Desktops take a file for a desktop entry only when this is "Desktop Entry".
    std::optional<std::string> firstGroup() const;
    bool hasKey(std::string_view group, std::string_view key) const;

    // The value as it stands in the file, escapes and all.
    std::optional<std::string> rawValue(std::string_view group, std::string_view key) const;
    // The value with its escapes (\s \n \t \r \\) resolved; nothing as well when it holds an
    // escape the format does not define. "\;" stays as it is: it belongs to list values.
    std::optional<std::string> stringValue(std::string_view group, std::string_view key) const;
    // "true" or "1", "false" or "0", blanks after them allowed; nothing for any other value.
    std::optional<bool> boolValue(std::string_view group, std::string_view key) const;

    // Sets the key where it stands, dropping any repeats of it; a new key goes after the last
    // entry of the group (a new group at the end of the file). The value is escaped as the
    // format needs. False, with nothing changed, for a group or key name the format does not
    // allow or a value that is not UTF-8 or holds a NUL.
    bool setString(std::string_view group, std::string_view key, std::string_view value);
    bool setBool(std::string_view group, std::string_view key, bool value);
    void remove(std::string_view group, std::string_view key);
    // Moves the group, with the lines that follow it up to the next group, before every other
    // group; adds it, empty, when there is none. False for a name the format does not allow.
    bool makeFirstGroup(std::string_view group);

private:
    struct Line {
        enum class Kind { comment, group, entry };
        Kind kind = Kind::comment;
        // The group's name, or the entry's key.
        std::string name;
        // The entry's value as written, escapes included.
        std::string value;
        // The line as read; empty once a change has rewritten it (or for a new line).
        std::optional<std::string> original;
    };

    static Line entryLine(std::string_view key, std::string value);
    static Line groupLine(std::string_view group);
    static Line blankLine();
    static bool isBlank(const Line& line);

    // Indices of the group's entries for `key`, in file order.
    std::vector<std::size_t> find(std::string_view group, std::string_view key) const;
    // Where a new entry of the group goes: after its last entry, or right after its header.
    std::optional<std::size_t> insertionPoint(std::string_view group) const;
    std::optional<std::size_t> firstGroupIndex() const;
    std::size_t groupEnd(std::size_t header) const;

    std::vector<Line> lines_;
};

// One argument of an Exec value, to be stored with setString (which adds the escaping every
// value gets on top): put in double quotes, with " ` $ and \ escaped inside them, when it holds
// a character the Exec line reserves; '%' doubled so that it is not taken for a field code.
std::string quoteExecArgument(std::string_view argument);

}  // namespace kestrio::platform::os
